// The publishers as the benchmarks run them: to the mosquitto broker that
// bench/run.sh starts on loopback (its URL in QUELVANE_BENCH_MQTT), and
// /metrics on a free loopback port.
#pragma once

#include <arpa/inet.h>
#include <cstdlib>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace bench {

// A TCP port on 127.0.0.1 that nothing listens on at the time of the call.
inline int free_port()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    const bool bound = fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                       ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0;
    if (fd >= 0) ::close(fd);
    return bound ? ntohs(address.sin_port) : 0;
}

// The broker's URL, or empty when the benchmark was not started by run.sh.
inline std::string bench_broker()
{
    const char* url = std::getenv("QUELVANE_BENCH_MQTT");
    return url != nullptr ? url : "";
}

// A [Publish] section with both publishers, or empty without a broker.
inline std::string publish_section()
{
    const std::string broker = bench_broker();
    return broker.empty() ? std::string()
                          : "[Publish]\r\nmqtt=" + broker + "\r\nmqtt_id=bench\r\nmetrics=" + std::to_string(free_port()) + "\r\n";
}

}  // namespace bench
