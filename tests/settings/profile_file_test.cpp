#include "settings/profile_file.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <sys/stat.h>

#include "settings/ini.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace std::string_literals;
using profile::WriteStatus;

// Files as people and older versions leave them load, and a write changes the
// line of its key in place (whatever the letter case of section and name) or
// adds it after the last key of its section, in the file's own line endings,
// and keeps every other byte. A write that fails changes nothing and leaves no
// temporary file; tests run as root, who may write anywhere, so the failures
// come through the seam.
TEST(ProfileFile, AWriteChangesOnlyItsKeyOrNothing)
{
    testsupport::TempDir dir;
    const std::string path = dir.file("Quelvane.INI");
    std::vector<profile::FileCalls> failing(3, profile::FileCalls::posix());
    failing[0].write = [](int, const void*, std::size_t) -> ssize_t { return errno = ENOSPC, -1; };
    failing[1].fsync = [](int) { return errno = EIO, -1; };
    failing[2].rename = [](const char*, const char*) { return errno = EPERM, -1; };  // an immutable file
    const std::string reasons[] = {"writing: "s + std::strerror(ENOSPC), "syncing: "s + std::strerror(EIO),
                                   "replacing it: "s + std::strerror(EPERM)};
    const profile::Entry entry[] = {{"CT", "A", "é€"}};
    const std::string big = std::string(1 << 20, 'x') + "\0\x01\r\x7F\x80\xFF[=]\r\r\n\xEF\xBB\xBF"s;  // a 1 MB line, junk
    for (const auto& [before, after] : std::vector<std::pair<std::string, std::string>>{
             {";c\r\n[ct]\r\n a = 1 \r\n[X]\r\nA=1\r\n", ";c\r\n[ct]\r\na=\xE9\x80\r\n[X]\r\nA=1\r\n"},
             {"[CT]\nB=1\n;c\n\n[X]\nA=1\n", "[CT]\nB=1\nA=\xE9\x80\n;c\n\n[X]\nA=1\n"},
             {"\xEF\xBB\xBF[CT]\r\nN=\0\0\r\nA=1"s, "\xEF\xBB\xBF[CT]\r\nN=\0\0\r\nA=\xE9\x80"s},
             {"[CT]\nA=1\n" + big, "[CT]\nA=\xE9\x80\n" + big},
             // Mixed line ends: the added line's lone CR must not take the
             // blank line's LF for its own.
             {"[CT]\rB=1\r\n\n[X]\r", "[CT]\rB=1\r\nA=\xE9\x80\r\n\n[X]\r"}}) {
        testsupport::write_bytes(path, before);
        for (std::size_t i = 0; i < failing.size(); ++i) {
            const profile::WriteResult result = profile::write_strings(path, entry, failing[i]);
            EXPECT_EQ(std::pair(result.status, result.reason), std::pair(WriteStatus::failed, reasons[i]));
        }
        EXPECT_TRUE(testsupport::read_bytes(path) == before) << before.substr(0, 20);
        EXPECT_EQ(dir.entries(), std::set<std::string>{"Quelvane.INI"});
        ASSERT_EQ(profile::write_strings(path, entry).status, WriteStatus::written);
        EXPECT_TRUE(testsupport::read_bytes(path) == after) << before.substr(0, 20);
        EXPECT_EQ(profile::get_string("CT", "A", "-", path), "é€");
    }
}

// A save compares texts, not bytes: a line saved as UTF-8 by an editor stays
// as it is while its text does not change. A caption that Windows-1252 holds
// is written in it; any other in UTF-8, and either reads back as it was.
TEST(ProfileFile, CaptionsSurviveLoadSaveLoadInWindows1252WhereItHoldsThemElseUtf8)
{
    testsupport::TempDir dir;
    const std::string path = dir.file("Quelvane.INI");
    const std::pair<std::string, std::string> captions[] = {  // caption, the line a write makes
        {"Salon", "Salon"}, {"Séjour", "S\xE9jour"}, {"Cuisine 20 €", "Cuisine 20 \x80"},
        {"Séjour Ω", "Séjour Ω"}, {"Cave 🌡", "Cave 🌡"}, {"客厅", "客厅"},
        {"Ã©tÃ©", "Ã©tÃ©"},  // its Windows-1252 bytes would read back as "été"
    };
    for (const auto& [caption, line] : captions) {
        const profile::Entry entry[] = {{"CT", "L", caption}};
        for (const std::string& edited : {"[CT]\r\nL=" + caption + "\r\n", "[CT]\r\nL=" + line + "\r\n"}) {
            testsupport::write_bytes(path, edited);
            EXPECT_EQ(profile::get_string("CT", "L", "-", path), caption);
            EXPECT_EQ(profile::write_strings(path, entry).status, WriteStatus::unchanged) << edited;
            EXPECT_EQ(testsupport::read_bytes(path), edited);
        }
        testsupport::write_bytes(path, "[CT]\r\nL=old\r\n");
        EXPECT_EQ(profile::write_strings(path, entry).status, WriteStatus::written);
        EXPECT_EQ(testsupport::read_bytes(path), "[CT]\r\nL=" + line + "\r\n");
        EXPECT_EQ(profile::get_string("CT", "L", "-", path), caption);
    }
}

// A save removes what saves killed half-way left ("." name "." six letters or
// digits, unlocked) and nothing else; the temporary of a save still under way
// (here one made while this save writes: flock locks belong to each open, so
// it is held against this process as against any other) survives.
TEST(ProfileFile, ASaveRemovesDeadTemporariesOfItsFileButNeverALiveOneOrAnythingElse)
{
    testsupport::TempDir dir;
    const std::string path = dir.file("Quelvane.INI");
    const std::set<std::string> kept = {"Quelvane.INI", ".Quelvane.INI.AbC12", ".Quelvane.INI.AbC12-", ".Other.INI.AbC123",
                                        "Quelvane.INI.AbC123", ".Quelvane.INI.bak"};
    for (const std::string& name : kept) testsupport::write_bytes(dir.file(name), "[CT]\r\n");
    for (const char* dead : {".Quelvane.INI.AbC123", ".Quelvane.INI.999999"}) testsupport::write_bytes(dir.file(dead), "");

    const profile::Entry a[] = {{"CT", "A", "1"}}, b[] = {{"CT", "B", "2"}};
    profile::FileCalls calls = profile::FileCalls::posix();
    profile::WriteResult other;
    calls.write = [&](int fd, const void* data, std::size_t size) {
        if (other.file.empty()) other = profile::write_strings(path, b);  // while this one writes
        return ::write(fd, data, size);
    };
    EXPECT_EQ(profile::write_strings(path, a, calls).status, WriteStatus::written);
    EXPECT_EQ(other.status, WriteStatus::written);
    EXPECT_EQ(dir.entries(), kept);
    EXPECT_EQ(testsupport::read_bytes(path), "[CT]\r\nA=1\r\n");  // the last one renamed in place wins
}

// What the settings path may be: what is read, what a write does and says on
// standard error (once per run), and what the path is afterwards. Links
// stay links, a read-only file (by its mode bits, for root too) and anything
// that is not a regular file stay as they are, nothing is made under /dev, a
// folder that refuses a temporary file gets its file rewritten in place, and
// no temporary is left.
TEST(SettingsPath, LinksAreWrittenThroughReadOnlyFilesAndFifosLeftAlone)
{
    testsupport::TempDir dir;
    const std::string work = dir.file("work"), other = dir.file("other"), path = work + "/Quelvane.INI";
    const std::string nowhere = "/dev/quelvane-test-missing-" + std::to_string(::getpid());
    const std::string old = "[CT]\r\nA=1\r\n", saved = "[CT]\r\nA=2\r\n";
    const auto file = [&](const std::string& at, mode_t mode) { testsupport::write_bytes(at, old), ::chmod(at.c_str(), mode); };
    const auto link = [&](const std::string& to) { std::filesystem::create_symlink(to, path); };
    const profile::Credentials root{};
    profile::Credentials stranger = profile::Credentials::of_process(), group_member = stranger;
    stranger.uid = group_member.uid = ::getuid() + 1000;  // neither root nor the owner
    stranger.gid = ::getgid() + 1000, stranger.groups = {};
    group_member.gid = ::getgid() + 1000, group_member.groups = {::getgid()};
    const profile::Credentials owner{::getuid() + 2000, ::getgid() + 1000, {}};  // given the file below
    const struct {
        const char* name;
        std::function<void()> make;
        const profile::Credentials* as;  // nullptr: this process, root in the test run
        std::string read, file, after, said;  // what A reads; the file written to, its bytes then; stderr
        bool folder_refuses = false;  // a temporary file beside it (the folder's mode bits, for root too)
    } cases[] = {
        {"plain", [&] { file(path, 0640); }, nullptr, "1", path, saved, ""},
        {"link elsewhere", [&] { file(other + "/real.ini", 0600), link("../other/real.ini"); }, nullptr, "1",
         other + "/real.ini", saved, ""},
        {"dangling link", [&] { link(other + "/new.ini"); }, nullptr, "-", other + "/new.ini", saved, ""},
        {"link loop", [&] { link("loop"), std::filesystem::create_symlink("Quelvane.INI", work + "/loop"); }, nullptr, "-",
         "", "", "not saved to " + path + ": following its links: " + std::strerror(ELOOP)},
        {"read-only", [&] { file(path, 0444), (void)::chown(path.c_str(), owner.uid, -1); }, &owner, "1", path, old,
         "is read-only"},
        {"read-only, as root", [&] { file(path, 0444); }, &root, "1", path, old, "not saved: " + path + " is read-only"},
        {"0644, other user", [&] { file(path, 0644); }, &stranger, "1", path, old, "is read-only"},
        {"0664, group member", [&] { file(path, 0664); }, &group_member, "1", path, saved, ""},
        {"fifo", [&] { ::mkfifo(path.c_str(), 0644); }, nullptr, "-", "", "", "not saved to " + path + ": not a regular file"},
        {"dangling link into /dev", [&] { link(nowhere); }, nullptr, "-", "", "",
         "not saved to " + path + " (a link to " + nowhere + "): no such file, and none is made under /dev"},
        {"lone CR line ends", [&] { testsupport::write_bytes(path, "[CT]\rA=1\r"); }, nullptr, "1", path, "[CT]\rA=2\r", ""},
        {"read-only folder", [&] { file(path, 0640); }, nullptr, "1", path, saved,
         "saved in place, not atomically: " + path + ": its folder refuses a temporary file (creating a temporary "
         "file beside it: " + std::strerror(EACCES) + ")", true},
        {"read-only folder and file", [&] { file(path, 0444); }, nullptr, "1", path, old, "is read-only", true},
    };
    for (const auto& c : cases) {
        for (const std::string& folder : {work, other}) std::filesystem::remove_all(folder), std::filesystem::create_directory(folder);
        c.make();
        const auto status = std::filesystem::symlink_status(path);
        const std::string link_text = std::filesystem::is_symlink(status) ? std::filesystem::read_symlink(path).string() : "";
        profile::FileCalls calls = profile::FileCalls::posix();
        if (c.as != nullptr) calls.credentials = [&c] { return *c.as; };
        if (c.folder_refuses) calls.mkstemp = [](char*) { return errno = EACCES, -1; };
        ini::detail::set_file_calls(&calls);
        ini::detail::reset_reports();
        ini::set_ini_dir(work);
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(ini::read_ini("A", "-"), c.read) << c.name;
        ini::write_ini("A", "2");
        ini::write_ini_all(std::vector<ini::KeyValue>{{"A", "2"}});
        const std::string said = ::testing::internal::GetCapturedStderr();
        ini::detail::set_file_calls(nullptr);

        EXPECT_EQ(c.file.empty() ? "" : testsupport::read_bytes(c.file), c.after) << c.name;
        EXPECT_EQ(std::filesystem::symlink_status(path).type(), status.type()) << c.name;
        EXPECT_EQ(std::filesystem::symlink_status(path).permissions(), status.permissions()) << c.name;
        EXPECT_EQ(link_text.empty() ? "" : std::filesystem::read_symlink(path).string(), link_text) << c.name;
        const auto lines = std::count(said.begin(), said.end(), '\n');
        const bool box = said.find("Fichier INI invalide ou absent") != std::string::npos;  // the unreadable file's
        EXPECT_EQ(lines, (c.said.empty() ? 0 : 1) + box) << c.name << ": " << said;
        EXPECT_NE(said.find(c.said), std::string::npos) << c.name << ": " << said;
        for (const std::string& folder : {work, other})
            for (const auto& entry : std::filesystem::directory_iterator(folder))
                EXPECT_FALSE(entry.path().filename().string().starts_with(".")) << c.name << ": " << entry.path();
        if (std::filesystem::exists(std::filesystem::symlink_status(nowhere))) {
            std::filesystem::remove(nowhere);
            ADD_FAILURE() << c.name << ": made " << nowhere;
        }
    }
}

}  // namespace
