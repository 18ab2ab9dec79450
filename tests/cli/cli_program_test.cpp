// The real quelvane program's commands, end to end: run with no display, in
// a French locale, on the emulated /dev/ttyS0 (in program_umockdev_tests).
#include <gtest/gtest.h>

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

TEST_F(CliProgram, SigtermEndsLogWithStatusZero)
{
    start(QUELVANE_PROGRAM, {}, false, {"--log", "--sensors", "2"});
    terminate_when([&] { return !read_bytes(dir / "Quelvane.txt").empty(); });
    // The window's record, in French.
    EXPECT_EQ(read_bytes(dir / "Quelvane.txt").substr(28, 22), "8,0\xB0" "C         21,5\xB0" "C\r\n");
}

// Standard output and error a pipe that nobody reads any more (quelvane --log
// 2>&1 | head -1): --log goes on logging until SIGTERM, and --read still ends
// with status 1, its readings never delivered.
TEST_F(CliProgram, OutputsThatGoAwayEndNeitherCommand)
{
    outputs_gone = true;
    start(QUELVANE_PROGRAM, {}, false, {"--log", "--sensors", "2"});
    terminate_when([&] { return testsupport::lines_of(dir / "Quelvane.txt") >= 2; });
    EXPECT_EQ(run({"--read"}), 1);
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
