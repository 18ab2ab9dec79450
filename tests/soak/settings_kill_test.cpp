// The settings file survives a kill in the middle of a save. A child process
// saves every control of the window over and over, the captions and values
// alternating between two sets, and is killed with SIGKILL at a random
// moment; the file it leaves must be exactly the one or the other set's file,
// never a mix. The next ordinary save removes the temporary it may have left.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <random>
#include <set>
#include <string>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "settings/control_state.h"
#include "settings/ini.h"
#include "tests/settings/temp_dir.h"
#include "window/control_table.h"

// A control of the window's table, in its design-time state or changed: a
// new caption and the opposite value. Nothing is restored into it.
struct TableControl final : ini::PersistentControl {
    TableControl(const window::ControlRow& row, bool changed) : row(row), changed(changed) {}
    const window::ControlRow& row;
    bool changed;
    std::string name() const override { return std::string(row.name); }
    bool has_caption() const override { return window::has_caption(row.kind); }
    std::string caption() const override { return std::string(row.caption) + (changed ? "\xE2\x82\xAC" : ""); }
    void set_caption(const std::string&) override {}
    ValueKind value_kind() const override { return window::has_value(row.kind) ? ValueKind::switch_state : ValueKind::none; }
    double value() const override { return ((row.flags & window::selected) != 0) != changed ? 1 : 0; }
    void set_value(double) override {}
};

TEST(SettingsKillTest, ASaveKilledAtAnyMomentLeavesTheOldOrTheNewFileAndTheNextSaveNoTemporary)
{
    const std::size_t count = window::control_table.size();
    std::vector<TableControl> controls;
    controls.reserve(2 * count);
    std::vector<ini::PersistentControl*> sets[2];
    for (std::size_t i = 0; i < 2 * count; ++i) {
        controls.emplace_back(window::control_table[i % count], i >= count);
        sets[i >= count].push_back(&controls.back());
    }
    settings_test::TempDir dir;  // a save cut short may leave its temporary file here
    ini::set_ini_dir(dir.path());
    std::string files[2];  // each set's whole file, the one saved over the other
    for (int set : {0, 1, 0}) {
        ini::save_settings(sets[set]);
        files[set] = settings_test::read_bytes(ini::settings_path());
    }
    ASSERT_TRUE(files[0] != files[1] && files[0].starts_with("[CT]\r\nFileId=quelv\r\n"));

    std::mt19937 random(std::random_device{}());
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (int kills = 0; kills < 300 && std::chrono::steady_clock::now() < deadline; ++kills) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlives the test
            for (int save = 1; save < 100000; ++save) ini::save_settings(sets[save % 2]);
            ::_exit(0);
        }
        ::usleep(std::uniform_int_distribution<useconds_t>(0, 20000)(random));
        ::kill(child, SIGKILL);
        ASSERT_EQ(::waitpid(child, nullptr, 0), child);

        const std::string survivor = settings_test::read_bytes(ini::settings_path());
        ASSERT_TRUE(survivor == files[0] || survivor == files[1]) << "kill " << kills << ":\n" << survivor;
        ASSERT_LE(dir.entries().size(), 2u) << "kill " << kills << ": temporaries pile up";
        const int next = survivor == files[0] ? 1 : 0;
        ini::save_settings(sets[next]);
        ASSERT_EQ(dir.entries(), std::set<std::string>{"Quelvane.INI"}) << "kill " << kills;
        ASSERT_EQ(settings_test::read_bytes(ini::settings_path()), files[next]);
    }
}
