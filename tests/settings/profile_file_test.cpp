#include "settings/profile_file.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

#include "settings/cp1252.h"
#include "temp_dir.h"

namespace {

using namespace std::string_literals;
using settings_test::read_bytes;
using settings_test::write_bytes;

std::string repeat(const std::string& s, int times)
{
    std::string out;
    while (times-- > 0) out += s;
    return out;
}

TEST(Cp1252, EncodesAndDecodes)
{
    const struct {
        std::string utf8, cp1252;
        bool round_trip;
    } cases[] = {
        {"€‚ƒ„…†‡ˆ‰Š‹ŒŽ", "\x80\x82\x83\x84\x85\x86\x87\x88\x89\x8A\x8B\x8C\x8E", true},
        {"‘’“”•–—˜™š›œžŸ", "\x91\x92\x93\x94\x95\x96\x97\x98\x99\x9A\x9B\x9C\x9E\x9F", true},
        {"\u00A0ÿ\0"s, "\xA0\xFF\0"s, true},
        {"\u0081\u008D\u008F\u0090\u009D", "\x81\x8D\x8F\x90\x9D", true},  // the undefined bytes
        {"日x😀", "?x?", false},
        {"\u0080\u0085", "??", false},  // C1 codes whose bytes 1252 gives to other characters
        {"\xC3\xA9\xA9\xC3", "\xE9??", false},     // stray continuation, cut sequence
        {"\xC0\xAF\xED\xA0\x80", "?????", false},  // overlong, surrogate
        {"\xF4\x90\x80\x80", "????", false},        // above U+10FFFF
    };
    for (const auto& c : cases) {
        EXPECT_EQ(text::utf8_to_cp1252(c.utf8), c.cp1252) << c.utf8;
        if (c.round_trip) {
            EXPECT_EQ(text::cp1252_to_utf8(c.cp1252), c.utf8) << c.utf8;
        }
    }
    std::string all;
    for (int byte = 0; byte < 256; ++byte) all += static_cast<char>(byte);
    EXPECT_TRUE(text::is_valid_utf8(text::cp1252_to_utf8(all)));
    EXPECT_EQ(text::utf8_to_cp1252(text::cp1252_to_utf8(all)), all);
}

TEST(ProfileRead, FindsValuesTheWayHandWrittenFilesExpect)
{
    const struct {
        std::string contents, key;
        std::optional<std::string> value;
    } cases[] = {
        {"[ct]\nlabel1.CAPTION=x\n", "Label1.caption", "x"},
        {"  [ CT ]  \r\n\t A \t=\t v w \t\r\n", "A", "v w"},
        {"[CT]\n;A=1\nA 1\n=2\n[x\nA=3", "A", "3"},  // comment, junk, no final newline
        {"A=0\n[CT]\n[Other]\nA=1\n", "A", std::nullopt},
        {"[CT]\nA=1\nA=2\n", "A", "1"},
        {"[CT]\nB=1\n[x]\n[CT]\nA=\n", "A", ""},  // section given twice
        {"\xEF\xBB\xBF[CT]\r\nA=a=b\r", "A", "a=b"},
        {"[CT]\nA=\xC3\xA9\xFF\n", "A", "Ã©ÿ"},  // not UTF-8 after all
        {"[CT]\nA=\0x\0\n"s, "A", "\0x\0"s},
        {"[CT]\nA=" + std::string(200, '\xE9'), "A", repeat("é", 127)},
        {"[CT]\nA=" + repeat("é", 200), "A", repeat("é", 63)},  // 126 bytes: not half a character
    };
    for (const auto& c : cases) EXPECT_EQ(profile::find_value(c.contents, "CT", c.key, 127), c.value) << c.contents;
}

TEST(ProfileWrite, ChangesOnlyTheKeyWritten)
{
    const struct {
        std::string before, key, value, after;
    } cases[] = {
        {"", "A", "1", "[CT]\r\nA=1\r\n"},
        {";c\r\n[ct]\r\n a = 1 \r\nA=2\r\n", "A", "9", ";c\r\n[ct]\r\na=9\r\nA=2\r\n"},
        {"[CT]\nA=1\n;e=x\n\n[X]\nB=2\n", "C", "3", "[CT]\nA=1\nC=3\n;e=x\n\n[X]\nB=2\n"},
        {"[CT]\n\n[X]\n", "C", "3", "[CT]\nC=3\n\n[X]\n"},
        {"[X]\r\nB=2", "A", "1", "[X]\r\nB=2\r\n[CT]\r\nA=1\r\n"},
        {"[CT]\nA=1", "B", "2", "[CT]\nA=1\nB=2\n"},
        {"[CT]\nA=1\r", "B", "2", "[CT]\nA=1\r\nB=2\n"},
        {"\xEF\xBB\xBF", "A", "1", "\xEF\xBB\xBF[CT]\r\nA=1\r\n"},
        {"\xEF\xBB\xBF[CT]\nA=1\n", "A", "Séjour", "\xEF\xBB\xBF[CT]\nA=S\xE9jour\n"},
        {"[CT]\nA=1\n", "A", "x\r\n[Evil]\ny", "[CT]\nA=x  [Evil] y\n"},
        {"[CT]\nA=1\n\0\xFF junk\n"s, "A", "2", "[CT]\nA=2\n\0\xFF junk\n"s},
    };
    for (const auto& c : cases) {
        const std::string after = profile::with_value(c.before, "CT", c.key, c.value);
        EXPECT_EQ(after, c.after) << c.before;
        EXPECT_EQ(profile::with_value(after, "CT", c.key, c.value), after) << c.before;
    }
}

// Contents nobody should write but someone will: each loads, and a write
// leaves every byte of it where it was.
TEST(ProfileWrite, HostileContentsLoadAndSurviveAWrite)
{
    std::mt19937 random(1252);
    std::string binary(1 << 20, '\0');
    for (char& c : binary) c = static_cast<char>(random());
    for (const std::string& before : {"\0\0[CT]\0\nA=\0\n"s, "[CT]\nA=1\n" + std::string(1 << 20, 'x'),
                                      std::string(1 << 20, '\n'), std::string(1 << 20, '['), binary}) {
        const std::string after = profile::with_value(before, "Q", "K", "v");
        ASSERT_EQ(after.substr(0, before.size()), before);
        EXPECT_EQ(profile::find_value(after, "Q", "K", 127), "v");
    }
}

class ProfileFile : public ::testing::Test {
protected:
    settings_test::TempDir dir;
    std::string path = dir.file("Quelvane.INI");
};

TEST_F(ProfileFile, AWriteReplacesTheWholeFileOrNothing)
{
    const auto fail = [](int error) { return errno = error, -1; };
    std::vector<profile::FileCalls> failing(4, profile::FileCalls::posix());
    failing[0].mkstemp = [&](char*) { return fail(EACCES); };  // read-only directory
    failing[1].write = [&](int, const void*, std::size_t) -> ssize_t { return fail(ENOSPC); };
    failing[2].fsync = [&](int) { return fail(EIO); };
    failing[3].rename = [&](const char*, const char*) { return fail(EXDEV); };
    const bool can_lock_directory = ::geteuid() != 0;  // root writes in read-only directories

    const std::string old = "; mine\r\n[CT]\r\nA=1\r\n";
    for (std::size_t i = 0; i <= failing.size(); ++i) {
        write_bytes(path, old);
        if (i < failing.size()) {
            EXPECT_FALSE(profile::write_string("CT", "A", "2", path, failing[i])) << i;
        } else if (can_lock_directory) {
            ASSERT_EQ(::chmod(dir.path().c_str(), 0555), 0);
            EXPECT_FALSE(profile::write_string("CT", "A", "2", path));
        }
        EXPECT_EQ(read_bytes(path), old) << i;
        EXPECT_EQ(dir.entries(), std::set<std::string>{"Quelvane.INI"}) << i;
    }
    EXPECT_FALSE(profile::write_string("CT", "A", "2", dir.file("none/Quelvane.INI")));
    EXPECT_FALSE(profile::write_string("CT", "A", "2", dir.path()));  // exists, cannot be read

    // A write that can be made replaces the file and keeps its permissions.
    ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
    ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
    ASSERT_TRUE(profile::write_string("CT", "B", "2", path));
    EXPECT_EQ(read_bytes(path), old + "B=2\r\n");
    struct stat info {};
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
    EXPECT_EQ(dir.entries(), std::set<std::string>{"Quelvane.INI"});
}

}  // namespace
