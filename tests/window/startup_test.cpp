#include <QCoreApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QRadioButton>
#include <cstring>
#include <map>
#include <sys/socket.h>
#include <sys/un.h>

#include "window/demo_board.h"
#include "window/display.h"
#include "window_fixture.h"

class StartupTest : public WindowTest {
protected:
    // A settings file as a previous run would leave it, with these lines.
    void load_with(const std::string& lines)
    {
        std::ofstream("Quelvane.INI", std::ios::binary) << "[CT]\r\nFileId=quelv\r\n" << lines;
        window->Form_Load();
    }
    bool saved(const std::string& line) const { return file_bytes("Quelvane.INI").find(line + "\r\n") != std::string::npos; }
    void press_key(const char* option, int key)
    {
        QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
        QCoreApplication::sendEvent(window->control(option), &press);
    }
};

TEST_F(StartupTest, WithoutASettingsFileRunsOnDefaultsSaysSoAndWritesAFileAtExit)
{
    window->Form_Load();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].title, "Erreur");
    EXPECT_EQ(boxes[0].text,
              "Fichier de départ introuvable\n" + dir_.string() + "/Quelvane.INI\n\nUtilisation des valeurs par défaut");
    EXPECT_TRUE(window->Timer1().isActive());
    window->close();
    const std::string file = file_bytes("Quelvane.INI");
    EXPECT_EQ(std::count(file.begin(), file.end(), '\n'), 34);  // section header and 33 keys
    EXPECT_EQ(board->counters().opens, 0);  // no tick ran: nothing was opened
}

TEST_F(StartupTest, AClosingWhileTheStartUpMessageWaitsStartsNoReading)
{
    while_box_open = [this] { window->close(); };
    window->Form_Load();
    EXPECT_FALSE(window->Timer1().isActive());
    EXPECT_FALSE(file_bytes("Quelvane.INI").empty());  // saved all the same
}

TEST_F(StartupTest, AValidFileRestoresOptionsAndCaptionsButNeverTheTitle)
{
    load_with("frm_quelvaner.option_com1.value=0\r\nfrm_quelvaner.option_com3.value=1\r\n"
              "frm_quelvaner.option_1_sec.value=0\r\nfrm_quelvaner.option_30_sec.value=1\r\n"
              "frm_quelvaner.label_temperature_indoor.caption=19,5\xB0" "C\r\n");
    EXPECT_TRUE(boxes.empty());
    EXPECT_TRUE(spin_until([this] { return board->CommPort() == 3; }));
    EXPECT_EQ(window->Timer1().interval(), 30000);
    EXPECT_EQ(control<QLabel>("label_temperature_indoor")->text(), QStringLiteral("19,5°C"));
    EXPECT_EQ(window->windowTitle(), QStringLiteral("Quelvane"));
}

TEST_F(StartupTest, ClearedOptionGroupsMeanNoTimerOnPortOneAndOneSecondUntilAPortIsChosen)
{
    load_with("frm_quelvaner.option_com1.value=0\r\nfrm_quelvaner.option_1_sec.value=0\r\n");
    EXPECT_FALSE(window->Timer1().isActive());
    EXPECT_EQ(window->Timer1().interval(), 1000);
    control<QRadioButton>("option_com4")->click();
    EXPECT_TRUE(window->Timer1().isActive());
    EXPECT_TRUE(spin_until([this] { return board->CommPort() == 4; }));
}

TEST_F(StartupTest, ClosingClosesTheOpenPortAndSavesTheLastReadings)
{
    load_with("");
    tick();
    window->close();
    EXPECT_FALSE(board->PortOpen());
    EXPECT_TRUE(saved("frm_quelvaner.label_temperature_indoor.caption=21,5\xB0" "C"));
    EXPECT_TRUE(saved("frm_quelvaner.option_1_sec.value=1"));
}

TEST_F(StartupTest, APortChoiceByClickOrKeyRestartsAStoppedTimerAnIntervalChoiceNever)
{
    load_with("");
    const auto fail_once = [this] {
        board->set_present(0, false);
        tick();
        board->set_present(0, true);
        ASSERT_FALSE(window->Timer1().isActive());
    };
    fail_once();
    control<QRadioButton>("option_1_min")->click();
    EXPECT_EQ(window->Timer1().interval(), 60000);  // at once, but the timer stays stopped
    press_key("option_5_sec", Qt::Key_A);             // re-applies the selection, does not select
    EXPECT_EQ(window->Timer1().interval(), 60000);
    EXPECT_FALSE(window->Timer1().isActive());
    control<QRadioButton>("option_com1")->click();
    EXPECT_TRUE(window->Timer1().isActive());

    fail_once();
    press_key("option_com3", Qt::Key_Z);  // any key on any port option
    EXPECT_TRUE(window->Timer1().isActive());
    tick();
    EXPECT_EQ(board->CommPort(), 1);
}

// --- Before the window ------------------------------------------------------------

// Whether a display is there, looked at as the toolkit would: the platform
// chosen, then the X server's or the compositor's socket. An X server is
// played by an abstract socket, a compositor by a socket file.
TEST(DisplayCheck, FindsTheDisplayTheToolkitWouldUseOrSaysWhyThereIsNone)
{
    const std::string number = std::to_string(4000 + ::getpid() % 1000);
    const auto listen_on = [](const std::string& path) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, path.data(), path.size());
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size());
        EXPECT_TRUE(::bind(fd, reinterpret_cast<const sockaddr*>(&address), length) == 0 && ::listen(fd, 1) == 0) << path;
        return fd;
    };
    const std::filesystem::path runtime = std::filesystem::temp_directory_path() / ("quelvane-run-" + number);
    std::filesystem::create_directories(runtime);
    const int sockets[] = {listen_on(std::string(1, '\0') + "/tmp/.X11-unix/X" + number), listen_on(runtime / "wl-test")};
    using Env = std::map<std::string, std::string>;
    const Env wayland = {{"WAYLAND_DISPLAY", "wl-test"}, {"XDG_RUNTIME_DIR", runtime}};
    const struct { Env env; std::string problem; } cases[] = {
        {{}, "DISPLAY is not set, WAYLAND_DISPLAY is not set"},
        {{{"DISPLAY", ":" + number + ".0"}}, ""},
        {{{"DISPLAY", ":" + number + "1"}}, "no X server answers at DISPLAY :" + number + "1, WAYLAND_DISPLAY is not set"},
        {{{"DISPLAY", "elsewhere:0"}}, ""},
        {wayland, ""},
        {{{"WAYLAND_DISPLAY", "wl-none"}, {"XDG_RUNTIME_DIR", runtime}}, "DISPLAY is not set, no compositor answers at WAYLAND_DISPLAY wl-none"},
        {{{"QT_QPA_PLATFORM", "offscreen"}}, ""},
        {{{"QT_QPA_PLATFORM", "xcb"}, {"WAYLAND_DISPLAY", "wl-test"}, {"XDG_RUNTIME_DIR", runtime}}, "DISPLAY is not set"},
    };
    for (const auto& c : cases) {
        const auto env = [&c](const char* name) { return c.env.contains(name) ? c.env.at(name).c_str() : nullptr; };
        EXPECT_EQ(window::missing_display(env), c.problem)
            << (c.env.empty() ? "" : c.env.begin()->second);
    }
    for (const int fd : sockets) ::close(fd);
    std::filesystem::remove_all(runtime);
}

TEST(DemoFolder, IsUnderXdgStateHomeWhenAbsoluteElseUnderHome)
{
    using Env = std::map<std::string, std::string>;
    const std::pair<Env, std::string> cases[] = {
        {{{"XDG_STATE_HOME", "/var/state"}, {"HOME", "/home/ana"}}, "/var/state/quelvane-demo"},
        {{{"XDG_STATE_HOME", "state"}, {"HOME", "/home/ana"}}, "/home/ana/.local/state/quelvane-demo"},
        {{{"XDG_STATE_HOME", ""}, {"HOME", "/home/ana"}}, "/home/ana/.local/state/quelvane-demo"},
    };
    for (const auto& [env, folder] : cases) {
        EXPECT_EQ(window::demo_folder([&env](const char* name) { return env.contains(name) ? env.at(name).c_str() : nullptr; }),
                  folder);
    }
}
