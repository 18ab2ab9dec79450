#include "bus/serial_control.h"

#include <cstring>

#include "bus/iic.h"

namespace serial {

SerialError::SerialError(std::string device, std::string operation, int error_number)
    : std::runtime_error(device + ": " + operation + ": " + std::strerror(error_number)),
      device_(std::move(device)),
      error_number_(error_number)
{
}

SerialError::SerialError(std::string device, int error_number, const std::string& message)
    : std::runtime_error(message), device_(std::move(device)), error_number_(error_number)
{
}

SerialControl::~SerialControl() { iic::forget_bus(*this); }

std::string SerialControl::device_name() const { return "COM" + std::to_string(CommPort()); }

void SerialControl::set_device(int, const std::string&) {}

}  // namespace serial
