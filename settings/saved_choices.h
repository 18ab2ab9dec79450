// What the settings file holds for the commands that read it without showing
// the window: the choices the window would restore, and the device each port
// stands for.
#pragma once

#include <string>

namespace ini {

// What the window would use, as ./Quelvane.INI (read once, into settings) sets it up: the first selected
// of COM1..COM4 (1 when none), the sensor count and the interval. A missing or
// foreign file gives the window's defaults. The file is read, never written.
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

}  // namespace ini
