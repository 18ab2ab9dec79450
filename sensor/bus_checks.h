// The checks that a reading and a probe both make on the bus port; for the
// sensor library's own files only.
#pragma once

#include <optional>

#include "bus/iic.h"
#include "bus/serial_control.h"

namespace sensor::detail {

// Whether control's port is open; none when even asking failed, which each
// caller reads the safe way for what it reports.
inline std::optional<bool> port_open(const serial::SerialControl& control) noexcept
{
    try {
        return control.PortOpen();
    } catch (...) {
        return std::nullopt;
    }
}

// Brings the bus to idle and reads the data line. The bus port is open here.
// The pull-ups hold the idle line high; low, there is no bus (the adapter is
// unplugged, nothing powers the pull-ups, or the line is stuck).
inline bool idle_line_high()
{
    iic::iic_stop();
    return iic::sda_read() != 0;
}

}  // namespace sensor::detail
