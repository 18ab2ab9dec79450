-- wrk: each connection waits 10 ms after every answer, so that 10
-- connections ask for /metrics about 1000 times a second.
function delay()
    return 10
end
