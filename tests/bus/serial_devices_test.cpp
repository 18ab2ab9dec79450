// The listing of serial devices, over a scratch folder standing for the
// root: the real /dev is never listed here.
#include "bus/serial_devices.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "tests/support/temp_dir.h"

namespace {

using serial::SerialDevice;

TEST(SerialDevices, NodesInOrderThenByIdTargetsEachOnceWithTheirStableName)
{
    testsupport::TempDir root;
    const std::filesystem::path dev = root.file("dev"), by_id = dev / "serial" / "by-id";
    std::filesystem::create_directories(by_id);
    for (const char* node : {"ttyUSB10", "ttyS1", "ttyACM0", "ttyS0", "ttyUSB2", "ttyS4", "ttyS10", "ttyUSB", "ttyUSBx",
                             "tty0", "console"}) {
        testsupport::write_bytes(dev / node, "");
    }
    const std::pair<const char*, const char*> links[] = {
        {"usb-FTDI_A-if00-port0", "../../ttyUSB2"},
        {"usb-FTDI_A2-if00-port0", "../../ttyUSB2"},  // a second name for it: the first in name order counts
        {"usb-Exar_B-if00", "../../ttyXRUSB0"},       // a device no node name above lists
        {"usb-Arduino_C-if00", "/dev/ttyACM0"},       // absolute
        {"usb-Odd_D", "../../../etc/passwd"},         // outside /dev: never a port
        {"usb-Dangling_E", "../../ttyUSB7"},          // taken as udev gives it; opening will tell
    };
    for (const auto& [name, target] : links) std::filesystem::create_symlink(target, by_id / name);
    testsupport::write_bytes(by_id / "not-a-link", "");
    const std::string stable = "/dev/serial/by-id/";

    EXPECT_EQ(serial::list_serial_devices(root.path()),
              (std::vector<SerialDevice>{{"/dev/ttyS0", ""},
                                         {"/dev/ttyS1", ""},
                                         {"/dev/ttyUSB2", stable + "usb-FTDI_A-if00-port0"},
                                         {"/dev/ttyUSB10", ""},
                                         {"/dev/ttyACM0", stable + "usb-Arduino_C-if00"},
                                         {"/dev/ttyUSB7", stable + "usb-Dangling_E"},
                                         {"/dev/ttyXRUSB0", stable + "usb-Exar_B-if00"}}));
    EXPECT_EQ(serial::list_stable_names(root.path()),
              (std::vector<SerialDevice>{{"/dev/ttyACM0", stable + "usb-Arduino_C-if00"},
                                         {"/dev/ttyUSB7", stable + "usb-Dangling_E"},
                                         {"/dev/ttyXRUSB0", stable + "usb-Exar_B-if00"},
                                         {"/dev/ttyUSB2", stable + "usb-FTDI_A-if00-port0"}}));
    EXPECT_TRUE(serial::list_serial_devices(root.file("nowhere")).empty());
}

}  // namespace
