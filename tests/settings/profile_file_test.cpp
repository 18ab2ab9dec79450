#include "settings/profile_file.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "temp_dir.h"

namespace {

using namespace std::string_literals;

// Files as people and older versions leave them load, and a write changes the
// line of its key in place (whatever the letter case of section and name) or
// adds it after the last key of its section, in the file's own line endings,
// as Windows-1252, and keeps every other byte. A write that fails changes
// nothing and leaves no temporary file; tests run as root, who may write
// anywhere, so the failures come through the seam.
TEST(ProfileFile, AWriteChangesOnlyItsKeyOrNothing)
{
    settings_test::TempDir dir;
    const std::string path = dir.file("Quelvane.INI");
    std::vector<profile::FileCalls> failing(3, profile::FileCalls::posix());
    failing[0].write = [](int, const void*, std::size_t) -> ssize_t { return errno = ENOSPC, -1; };
    failing[1].fsync = [](int) { return errno = EIO, -1; };
    failing[2].rename = [](const char*, const char*) { return errno = EXDEV, -1; };
    const std::string big = std::string(1 << 20, 'x') + "\0\x01\r\x7F\x80\xFF[=]\r\r\n\xEF\xBB\xBF"s;  // a 1 MB line, junk
    for (const auto& [before, after] : std::vector<std::pair<std::string, std::string>>{
             {";c\r\n[ct]\r\n a = 1 \r\n[X]\r\nA=1\r\n", ";c\r\n[ct]\r\na=\xE9\x80?\r\n[X]\r\nA=1\r\n"},
             {"[CT]\nB=1\n;c\n\n[X]\nA=1\n", "[CT]\nB=1\nA=\xE9\x80?\n;c\n\n[X]\nA=1\n"},
             {"\xEF\xBB\xBF[CT]\r\nN=\0\0\r\nA=1"s, "\xEF\xBB\xBF[CT]\r\nN=\0\0\r\nA=\xE9\x80?"s},
             {"[CT]\nA=1\n" + big, "[CT]\nA=\xE9\x80?\n" + big}}) {
        settings_test::write_bytes(path, before);
        for (const auto& calls : failing) EXPECT_FALSE(profile::write_string("CT", "A", "é€日", path, calls));
        EXPECT_TRUE(settings_test::read_bytes(path) == before) << before.substr(0, 20);
        EXPECT_EQ(dir.entries(), std::set<std::string>{"Quelvane.INI"});
        ASSERT_TRUE(profile::write_string("CT", "A", "é€日", path));
        EXPECT_TRUE(settings_test::read_bytes(path) == after) << before.substr(0, 20);
        EXPECT_EQ(profile::get_string("CT", "A", "-", path).value, "é€?");
    }
}

}  // namespace
