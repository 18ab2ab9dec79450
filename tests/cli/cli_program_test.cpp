// The real quelvane program's commands, end to end: run with no display, in
// a French locale, on the emulated /dev/ttyS0 (in program_umockdev_tests).
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "tests/support/program_fixture.h"

namespace {

using testsupport::read_bytes;
using CliProgram = testsupport::ProgramFixture;

TEST_F(CliProgram, CommandsNeedNoDisplayAndReadWithADecimalPoint)
{
    EXPECT_EQ(run({"--help"}), 0);
    EXPECT_NE(read_bytes(dir / "stdout").find("quelvane --read [--port P] [--sensors 1|2] [--json]\n"),
              std::string::npos);
    EXPECT_EQ(run({"--read", "--sensors", "3"}), 2);
    EXPECT_EQ(port->counts().total(), 0);
    EXPECT_EQ(run({"--read", "--sensors", "2"}), 0);
    EXPECT_EQ(read_bytes(dir / "stdout"), "sensor1 21.5\nsensor2 8.0\n");
    EXPECT_EQ(read_bytes(dir / "stderr"), "");
}

// Standard output and error a pipe that nobody reads any more (quelvane --log
// 2>&1 | head -1): --log goes on logging, in the window's French records,
// until SIGTERM ends it with status 0, and --read still ends with status 1,
// its readings never delivered.
TEST_F(CliProgram, OutputsThatGoAwayEndNeitherCommand)
{
    outputs_gone = true;
    start(QUELVANE_PROGRAM, {}, false, {"--log", "--sensors", "2"});
    terminate_when([&] { return testsupport::lines_of(dir / "Quelvane.txt") >= 2; });
    EXPECT_EQ(read_bytes(dir / "Quelvane.txt").substr(28, 22), "8,0\xB0" "C         21,5\xB0" "C\r\n");
    EXPECT_EQ(run({"--read"}), 1);
}

// --find on the emulated port, named, with the stable name the testbed gives
// it (the program lists /dev/serial/by-id/ only when devices are named, and
// finds the testbed's). The demo finds its own board and touches no port.
TEST_F(CliProgram, FindProbesTheNamedPortAndTheDemoItsOwnBoard)
{
    const char* testbed = std::getenv("UMOCKDEV_DIR");
    ASSERT_NE(testbed, nullptr);
    const std::filesystem::path by_id = std::filesystem::path(testbed) / "dev" / "serial" / "by-id";
    std::filesystem::create_directories(by_id);
    std::filesystem::create_symlink("../../ttyS0", by_id / "usb-Quelvane_test-if00-port0");
    ASSERT_TRUE(testsupport::is_pty_node("/dev/ttyS0"));
    const std::string stable = "/dev/serial/by-id/usb-Quelvane_test-if00-port0";

    EXPECT_EQ(run({"--find", "/dev/ttyS0"}), 0);
    const std::string said = read_bytes(dir / "stdout");
    EXPECT_EQ(said.substr(0, said.find('\n') + 1), "/dev/ttyS0 (" + stable + "): sensors 1 and 2\n");
    EXPECT_NE(said.find("[Ports]\nCOM1=" + stable + "\n"), std::string::npos) << said;
    EXPECT_EQ(port->counts().of(TIOCNXCL), 1);
    board.set_present(0, false);
    board.set_present(1, false);
    EXPECT_EQ(run({"--find", "--json", stable}), 1);
    EXPECT_EQ(read_bytes(dir / "stdout"), "[{\"device\":\"/dev/ttyS0\",\"by_id\":\"" + stable +
                                              "\",\"found\":\"no sensor\",\"sensors\":[]}]\n");

    port->counts().reset();
    start(QUELVANE_DEMO_PROGRAM, {}, false, {"--find"});
    EXPECT_EQ(exit_status(), 0);
    EXPECT_EQ(read_bytes(dir / "stdout").rfind("/dev/ttyDEMO0 (/dev/serial/by-id/usb-Quelvane_demo_board_DEMO0-if00-port0): "
                                               "sensors 1 and 2\n", 0), 0u);
    EXPECT_EQ(port->counts().total(), 0);
}

// The history's exports need no display and no platform chosen.
TEST_F(CliProgram, HistoryExportsWithoutADisplay)
{
    std::ofstream(dir / "Quelvane.txt", std::ios::binary)
        << "01-02-2026    10:00:00      8,0\xB0" "C         21,5\xB0" "C\r\n?\r\n";
    EXPECT_EQ(run({"--history", "Quelvane.txt", "--png", "out.png", "--csv", "out.csv"}), 0);
    EXPECT_EQ(read_bytes(dir / "out.csv"), "time,sensor1,sensor2\n2026-01-02T10:00:00,21.5,8.0\n");
    // A PNG of the default size: the signature, then 1200 by 600 in its header.
    EXPECT_EQ(read_bytes(dir / "out.png").substr(0, 24),
              std::string("\x89PNG\r\n\x1A\n\0\0\0\x0DIHDR\0\0\x04\xB0\0\0\x02\x58", 24));
    EXPECT_EQ(read_bytes(dir / "stderr"), "Quelvane.txt: 1 record, 1 line skipped\n");
    EXPECT_EQ(port->counts().total(), 0);
}

}  // namespace
