// The settings file survives a kill in the middle of a save. A child process
// saves every control of the window over and over, the captions and values
// alternating between two sets, and is killed with SIGKILL at a random
// moment; the file it leaves must read back whole every time.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdint>
#include <iostream>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "settings/control_state.h"
#include "settings/cp1252.h"
#include "settings/ini.h"
#include "tests/settings/temp_dir.h"
#include "window/control_table.h"

namespace {

constexpr int kill_count = 300;
// A net, not a measure: the run stops early rather than run for long.
constexpr auto time_budget = std::chrono::seconds(60);
constexpr int longest_delay_us = 20000;

// The "new" caption of a control; the "old" one is its design-time caption.
std::string renamed(std::string_view caption)
{
    return caption.empty() ? std::string("Sonde \xC3\xA9") : std::string(caption) + " \xE2\x80\x94 n\xC2\xB0" "2 \xE2\x82\xAC";
}

// A control of the window's table as the settings walk sees it, in one of
// the two states. Nothing is restored into it.
class TableControl final : public ini::PersistentControl {
public:
    TableControl(const window::ControlSpec& row, bool renamed_state) : row_(row), renamed_(renamed_state) {}

    std::string name() const override { return std::string(row_.name); }
    bool has_caption() const override { return window::has_caption(row_.kind); }
    std::string caption() const override { return renamed_ ? renamed(row_.caption) : std::string(row_.caption); }
    void set_caption(const std::string&) override {}
    ValueKind value_kind() const override
    {
        return window::has_value(row_.kind) ? ValueKind::switch_state : ValueKind::none;
    }
    double value() const override { return ((row_.flags & window::selected) != 0) != renamed_ ? 1 : 0; }
    void set_value(double) override {}

private:
    const window::ControlSpec& row_;
    bool renamed_;
};

struct ControlSet {
    std::vector<std::unique_ptr<TableControl>> owned;
    std::vector<ini::PersistentControl*> view;

    explicit ControlSet(bool renamed_state)
    {
        for (const auto& row : window::control_table) {
            owned.push_back(std::make_unique<TableControl>(row, renamed_state));
            view.push_back(owned.back().get());
        }
    }
};

// The two lines (file bytes) a key may have, and the two values it may read as.
struct KeyLines {
    std::string old_line, new_line;
    std::string old_value, new_value;  // UTF-8
};

std::map<std::string, KeyLines> expected_keys()
{
    std::map<std::string, KeyLines> keys;
    const auto add = [&keys](const std::string& key, const std::string& old_value, const std::string& new_value) {
        keys[key] = {key + "=" + text::utf8_to_cp1252(old_value), key + "=" + text::utf8_to_cp1252(new_value),
                     old_value, new_value};
    };
    add("FileId", "quelv", "quelv");
    for (const auto& row : window::control_table) {
        const std::string key = ini::control_key_prefix + std::string(row.name);
        if (window::has_caption(row.kind)) {
            add(key + ".caption", std::string(row.caption), renamed(row.caption));
        }
        if (window::has_value(row.kind)) {
            const bool on = (row.flags & window::selected) != 0;
            add(key + ".value", on ? "1" : "0", on ? "0" : "1");
        }
    }
    return keys;
}

bool is_temporary_name(const std::string& name)
{
    const std::string prefix = ".Quelvane.INI.";
    return name.size() == prefix.size() + 6 && name.starts_with(prefix);
}

}  // namespace

TEST(SettingsKillTest, ASaveKilledAtAnyMomentLeavesAWholeFileOfOldAndNewValues)
{
    const std::map<std::string, KeyLines> keys = expected_keys();
    ASSERT_EQ(keys.size(), 33u);  // the signature, 21 captions, 11 values
    const ControlSet old_set(false);
    const ControlSet new_set(true);

    settings_test::TempDir dir;
    ini::set_ini_dir(dir.path());
    const std::string path = ini::settings_path();
    ini::save_settings(old_set.view);  // a whole file to start from

    const std::uint32_t seed = std::random_device{}();
    std::cout << "kill seed " << seed << std::endl;
    RecordProperty("seed", std::to_string(seed));
    std::mt19937 random(seed);
    const pid_t parent = ::getpid();

    int kills = 0;
    int mixed_files = 0;
    int leftover_temporaries = 0;
    int finished_children = 0;
    const auto started = std::chrono::steady_clock::now();
    for (; kills < kill_count && std::chrono::steady_clock::now() - started < time_budget; ++kills) {
        const bool start_renamed = std::bernoulli_distribution(0.5)(random);
        const int delay_us = std::uniform_int_distribution<int>(0, longest_delay_us)(random);

        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            // Dies with the test rather than outlive it; bounded regardless.
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (::getppid() != parent) {
                ::_exit(3);
            }
            for (int save = 0; save < 100000; ++save) {
                ini::save_settings(((save % 2 == 0) == start_renamed) ? new_set.view : old_set.view);
            }
            ::_exit(0);
        }
        ::usleep(static_cast<useconds_t>(delay_us));
        ::kill(child, SIGKILL);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        if (!(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)) {
            ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "kill " << kills << ": status " << status;
            ++finished_children;
        }

        // The file: the section header, then each key exactly once on a whole
        // line holding either of its two values.
        const std::string bytes = settings_test::read_bytes(path);
        ASSERT_TRUE(bytes.ends_with("\r\n")) << "kill " << kills << ": " << bytes;
        std::vector<std::string> lines;
        for (std::size_t at = 0; at < bytes.size();) {
            const std::size_t end = bytes.find("\r\n", at);
            lines.push_back(bytes.substr(at, end - at));
            at = end + 2;
        }
        ASSERT_EQ(lines.size(), keys.size() + 1) << "kill " << kills << ": " << bytes;
        ASSERT_EQ(lines[0], "[CT]") << "kill " << kills;
        std::map<std::string, int> seen;
        int old_values = 0;
        int new_values = 0;
        for (std::size_t i = 1; i < lines.size(); ++i) {
            const std::string key = lines[i].substr(0, lines[i].find('='));
            const auto expected = keys.find(key);
            ASSERT_NE(expected, keys.end()) << "kill " << kills << ": unknown line " << lines[i];
            ASSERT_EQ(++seen[key], 1) << "kill " << kills << ": key twice " << key;
            const bool is_old = lines[i] == expected->second.old_line;
            const bool is_new = lines[i] == expected->second.new_line;
            ASSERT_TRUE(is_old || is_new) << "kill " << kills << ": torn line " << lines[i];
            if (expected->second.old_line != expected->second.new_line) {
                old_values += is_old;
                new_values += is_new;
            }
        }
        ASSERT_EQ(seen.size(), keys.size()) << "kill " << kills;
        ASSERT_NE(bytes.find("\r\nFileId=quelv\r\n"), std::string::npos) << "kill " << kills;
        mixed_files += old_values > 0 && new_values > 0;

        // Read back through the settings module, as the next start would.
        for (const auto& [key, expected] : keys) {
            const std::string value = ini::read_ini(key, "\x01missing");
            ASSERT_TRUE(value == expected.old_value || value == expected.new_value)
                << "kill " << kills << ": " << key << " reads " << value;
        }

        // A save cut short may leave its temporary file; nothing else.
        for (const std::string& name : dir.entries()) {
            if (name == "Quelvane.INI") {
                continue;
            }
            ASSERT_TRUE(is_temporary_name(name)) << "kill " << kills << ": stray file " << name;
            ++leftover_temporaries;
            ::unlink(dir.file(name).c_str());
        }
    }
    std::cout << kills << " kills: " << mixed_files << " left a file half old, half new; " << leftover_temporaries
              << " left a temporary file behind; " << finished_children << " children finished before the kill"
              << std::endl;
    RecordProperty("kills", kills);
    RecordProperty("mixed_files", mixed_files);
    RecordProperty("leftover_temporaries", leftover_temporaries);
    EXPECT_GT(kills, 0);
}
