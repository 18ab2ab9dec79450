// A serial control that only records: every property write and CTS read, in
// order, so a test can check the exact waveform the bus driver puts on the
// lines. CTS answers come from a queue, then from a default.
#pragma once

#include <cerrno>
#include <deque>
#include <ostream>
#include <vector>

#include "bus/serial_control.h"

namespace testsupport {

enum class Op { open, close, dtr, rts, cts };

struct Event {
    Op op;
    bool level;  // written level, CTS answered; true for open/close
    bool operator==(const Event&) const = default;
};

inline Event dtr(bool level) { return {Op::dtr, level}; }
inline Event rts(bool level) { return {Op::rts, level}; }
inline Event cts(bool level) { return {Op::cts, level}; }
inline Event opened() { return {Op::open, true}; }
inline Event closed() { return {Op::close, true}; }

inline void PrintTo(const Event& event, std::ostream* out)
{
    static constexpr const char* names[] = {"open", "close", "DTR", "RTS", "CTS"};
    *out << names[static_cast<int>(event.op)];
    if (event.op != Op::open && event.op != Op::close) {
        *out << '=' << (event.level ? 1 : 0);
    }
}

using Log = std::vector<Event>;

class RecordingControl final : public serial::SerialControl {
public:
    void set_CommPort(int port) override { port_ = port; }
    int CommPort() const override { return port_; }

    void set_PortOpen(bool open) override
    {
        open_ = open;
        log.push_back(open ? opened() : closed());
    }
    bool PortOpen() const override { return open_; }

    void set_DTREnable(bool asserted) override { write(Op::dtr, asserted); }
    void set_RTSEnable(bool asserted) override { write(Op::rts, asserted); }

    bool CTSHolding() override
    {
        if (fail_reads) {
            throw serial::SerialError("rec:COM1", "read modem lines", EIO);
        }
        bool level = cts_default;
        if (!cts_answers.empty()) {
            level = cts_answers.front();
            cts_answers.pop_front();
        }
        log.push_back(cts(level));
        return level;
    }

    // Opens without recording, as if the port had been open all along.
    void start_open() { open_ = true; }

    long writes() const { return count_if_op([](Op op) { return op == Op::dtr || op == Op::rts; }); }
    long reads() const { return count_if_op([](Op op) { return op == Op::cts; }); }

    Log log;
    std::deque<bool> cts_answers;
    bool cts_default = true;  // a released line reads high
    bool fail_writes = false;
    bool fail_reads = false;

private:
    void write(Op op, bool level)
    {
        if (fail_writes) {
            throw serial::SerialError("rec:COM1", "set modem line", EIO);
        }
        log.push_back({op, level});
    }

    template <typename Predicate>
    long count_if_op(Predicate predicate) const
    {
        long count = 0;
        for (const Event& event : log) {
            count += predicate(event.op) ? 1 : 0;
        }
        return count;
    }

    int port_ = 1;
    bool open_ = false;
};

// Replays a log from known line levels and reports what a device on the bus
// would see: the data level at each rising clock edge, and the data edges made
// while the clock was high (starts and stops).
struct WireView {
    std::vector<bool> clocked;     // SDA as driven by the master at each rising SCL
    std::vector<Event> conditions; // dtr(false): start, dtr(true): stop
    bool sda = true;               // levels after the log
    bool scl = true;
};

inline WireView replay(const Log& log, bool sda = true, bool scl = true)
{
    WireView view;
    for (const Event& event : log) {
        if (event.op == Op::rts) {
            if (!scl && event.level) {
                view.clocked.push_back(sda);
            }
            scl = event.level;
        } else if (event.op == Op::dtr) {
            if (scl && sda != event.level) {
                view.conditions.push_back(dtr(event.level));
            }
            sda = event.level;
        }
    }
    view.sda = sda;
    view.scl = scl;
    return view;
}

}  // namespace testsupport
