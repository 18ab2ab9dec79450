// The simulated board the demo runs on: two sensors, indoor near 21 °C and
// outdoor near 8 °C, drifting slowly by half degrees.
#pragma once

#include <memory>

#include "bus/serial_control.h"

class QObject;

namespace window {

// The drift runs on a timer owned by `owner`, which must outlive the board's
// use; the returned control is the board.
std::unique_ptr<serial::SerialControl> make_demo_board(QObject& owner);

}  // namespace window
