// A serial control that records every open, close, line write and CTS read in
// order, optionally passing each on to a target control (the simulated board).
// Without a target, CTS answers come from a queue, then from cts_default.
// The access at index fail_at raises instead of taking effect.
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
    bool level;  // true for open and close
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
    *out << names[static_cast<int>(event.op)] << '=' << event.level;
}

using Log = std::vector<Event>;

class RecordingControl final : public serial::SerialControl {
public:
    explicit RecordingControl(serial::SerialControl* target = nullptr) : target_(target) {}

    void set_CommPort(int) override {}
    int CommPort() const override { return 1; }
    void set_PortOpen(bool open) override
    {
        record(open ? opened() : closed());
        if (target_ != nullptr) target_->set_PortOpen(open);
        else open_ = open;
    }
    bool PortOpen() const override { return target_ != nullptr ? target_->PortOpen() : open_; }
    void set_DTREnable(bool asserted) override
    {
        record(dtr(asserted));
        if (target_ != nullptr) target_->set_DTREnable(asserted);
    }
    void set_RTSEnable(bool asserted) override
    {
        record(rts(asserted));
        if (target_ != nullptr) target_->set_RTSEnable(asserted);
    }
    bool CTSHolding() override
    {
        bool level = cts_default;
        if (target_ != nullptr) {
            level = target_->CTSHolding();
        } else if (!cts_answers.empty()) {
            level = cts_answers.front();
            cts_answers.pop_front();
        }
        record(cts(level));
        return level;
    }

    Log log;
    std::deque<bool> cts_answers;
    bool cts_default = true;  // a released line reads high
    bool open_ = false;       // without a target
    long fail_at = -1;

private:
    void record(Event event)
    {
        log.push_back(event);
        if (static_cast<long>(log.size()) - 1 == fail_at) {
            throw serial::SerialError("rec:COM1", "line access", EIO);
        }
    }

    serial::SerialControl* target_;
};

}  // namespace testsupport
