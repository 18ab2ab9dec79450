// A serial control that logs every access as one letter, upper case for high:
// O/o open/close, D/d DTR, R/r RTS, C/c a CTS sample. Each access is passed on
// to the target control when there is one; without, CTS reads high (a
// released line).
#pragma once

#include <cctype>
#include <string>

#include "bus/serial_control.h"

namespace testsupport {

class RecordingControl final : public serial::SerialControl {
public:
    explicit RecordingControl(serial::SerialControl* target = nullptr) : target_(target) {}

    void set_CommPort(int) override {}
    int CommPort() const override { return 1; }
    void set_PortOpen(bool open) override { open_ = open, pass('O', open, &SerialControl::set_PortOpen); }
    bool PortOpen() const override { return target_ != nullptr ? target_->PortOpen() : open_; }
    void set_DTREnable(bool high) override { pass('D', high, &SerialControl::set_DTREnable); }
    void set_RTSEnable(bool high) override { pass('R', high, &SerialControl::set_RTSEnable); }
    bool CTSHolding() override
    {
        const bool high = target_ == nullptr || target_->CTSHolding();
        log += high ? 'C' : 'c';
        return high;
    }

    std::string log;

private:
    void pass(char letter, bool high, void (SerialControl::*set)(bool))
    {
        log += high ? letter : static_cast<char>(std::tolower(letter));
        if (target_ != nullptr) (target_->*set)(high);
    }

    serial::SerialControl* target_;
    bool open_ = false;
};

}  // namespace testsupport
