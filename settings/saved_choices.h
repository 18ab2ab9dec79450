// What the settings file holds for the commands that read it without showing
// the window: the choices the window would restore, and the device each port
// stands for.
#pragma once

#include <span>
#include <string>

#include "settings/profile_file.h"

namespace ini {

// What the window would use, as ./Quelvane.INI (read once, into settings)
// sets it up: the first selected of COM1..COM4 (1 when none), the sensor count
// and the interval. A missing or foreign file gives the window's defaults. The
// file is read, never written.
struct SavedChoices {
    int port = 1;
    int sensors = 1;
    int every_seconds = 1;
};
class Snapshot;
SavedChoices saved_choices(const Snapshot& settings);

// COM1..COM4 as the window maps them: the [Ports] section of the settings
// file, else /dev/ttyS0../dev/ttyS3.
std::string device_for_port(int port, const Snapshot& settings);
// The same from a read of the file made for this lookup alone.
std::string device_for_port(int port);

// What a port (1..4) is to stand for in [Ports].
struct PortDevice {
    int port;
    std::string device;
};

// Stores each device in the [Ports] section of the settings file
// ("COM2=/dev/ttyUSB0") through the settings' own save: one replacement of
// the file, its links followed and kept, a file whose mode bits refuse
// writing left alone, and every other line kept byte for byte. Nothing is
// stored when any device fails the port rule (status failed, the reason
// naming the port). Nothing is said on standard error: the caller tells.
profile::WriteResult save_port_devices(std::span<const PortDevice> devices);

}  // namespace ini
