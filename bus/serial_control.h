// The serial-port control the bus is built on: a port chosen by number, its
// open/closed state, the DTR and RTS outputs and the CTS input. No byte ever
// travels through the port's data path.
#pragma once

#include <stdexcept>
#include <string>

namespace serial {

// Raised by a control when the system refuses an operation (chiefly: the port
// does not exist or another program holds it), or when a device path is
// refused before any open. Carries the device and errno; what() is one line
// that says what failed and why.
class SerialError : public std::runtime_error {
public:
    // what(): "device: operation: the system's text for error_number".
    SerialError(std::string device, std::string operation, int error_number);
    // what(): message as given.
    SerialError(std::string device, int error_number, const std::string& message);
    const std::string& device() const { return device_; }
    int error_number() const { return error_number_; }

private:
    std::string device_;
    int error_number_;
};

// Property-style interface: each call is one read or write of one property.
// Polarity is taken at this level: DTREnable true is the bus data line high,
// RTSEnable true the clock high, CTSHolding true a 1 on the data line.
class SerialControl {
public:
    SerialControl() = default;
    SerialControl(const SerialControl&) = delete;
    SerialControl& operator=(const SerialControl&) = delete;
    // Detaches the control from the bus driver, so that no stale reference
    // to a destroyed control survives in it.
    virtual ~SerialControl();

    // Port number 1..4 that the next open uses. Only valid while closed.
    virtual void set_CommPort(int port) = 0;
    virtual int CommPort() const = 0;

    // Writing true opens the port numbered CommPort, false closes it.
    virtual void set_PortOpen(bool open) = 0;
    virtual bool PortOpen() const = 0;

    // The write has taken effect on the line when the call returns.
    virtual void set_DTREnable(bool asserted) = 0;
    virtual void set_RTSEnable(bool asserted) = 0;

    // State of CTS at the moment of the call.
    virtual bool CTSHolding() = 0;

    // The device as a person would name it in a message ("/dev/ttyUSB0");
    // by default the port number ("COM1").
    virtual std::string device_name() const;

    // Makes port number `port` (1..4) open `device` from now on: a mapping
    // that the owner read from the settings, where a failure to read them
    // can be shown. A control without devices (a simulated board) ignores it.
    virtual void set_device(int port, const std::string& device);
};

}  // namespace serial
