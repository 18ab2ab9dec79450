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
#include "tests/settings/table_controls.h"
#include "tests/support/temp_dir.h"

TEST(SettingsKillTest, ASaveKilledAtAnyMomentLeavesTheOldOrTheNewFileAndTheNextSaveNoTemporary)
{
    // The window's controls in their design-time state, and changed: a new
    // caption and the opposite value for each.
    testsupport::ControlStates states[2];
    const testsupport::TableControls design(states[0]), changed(states[1]);
    for (auto& [key, value] : states[1]) {
        value = key.ends_with(".value") ? (value == "0" ? "1" : "0") : value + "\xE2\x82\xAC";
    }
    const std::vector<ini::PersistentControl*> sets[2] = {design.list, changed.list};
    testsupport::TempDir dir;  // a save cut short may leave its temporary file here
    ini::set_ini_dir(dir.path());
    std::string files[2];  // each set's whole file, the one saved over the other
    for (int set : {0, 1, 0}) {
        ini::save_settings(sets[set]);
        files[set] = testsupport::read_bytes(ini::settings_path());
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

        const std::string survivor = testsupport::read_bytes(ini::settings_path());
        ASSERT_TRUE(survivor == files[0] || survivor == files[1]) << "kill " << kills << ":\n" << survivor;
        ASSERT_LE(dir.entries().size(), 2u) << "kill " << kills << ": temporaries pile up";
        const int next = survivor == files[0] ? 1 : 0;
        ini::save_settings(sets[next]);
        ASSERT_EQ(dir.entries(), std::set<std::string>{"Quelvane.INI"}) << "kill " << kills;
        ASSERT_EQ(testsupport::read_bytes(ini::settings_path()), files[next]);
    }
}
