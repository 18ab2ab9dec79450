#include <QCheckBox>
#include <QLabel>
#include <QRadioButton>
#include <csignal>
#include <cstring>
#include <map>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "settings/control_state.h"
#include "tests/settings/table_controls.h"
#include "window/demo_board.h"
#include "window/display.h"
#include "window_fixture.h"

using Env = std::map<std::string, std::string>;

static const char* lookup(const Env& env, const char* name) { return env.contains(name) ? env.at(name).c_str() : nullptr; }

// Without a settings file: the message, the defaults, and at exit the whole
// file, the bytes a save of the control table in its design-time state makes
// (every control in window order, with its caption and value).
TEST_F(WindowTest, WithoutASettingsFileRunsOnDefaultsSaysSoAndWritesTheWholeFileAtExit)
{
    while_box_open = [this] { window->Timer1_Timer(); };  // no tick while the message waits
    window->Form_Load();
    EXPECT_EQ(boxes, std::vector<std::string>{"Erreur: Fichier de départ introuvable\n" + dir.path() +
                                              "/Quelvane.INI\n\nUtilisation des valeurs par défaut"});
    EXPECT_TRUE(window->Timer1().isActive());
    EXPECT_EQ(window->Timer1().interval(), 1000);
    window->close();
    EXPECT_EQ(board->counters().opens, 0);  // no tick ran: nothing was opened

    testsupport::ControlStates states;
    const testsupport::TableControls design(states);
    const testsupport::TempDir other;
    ini::set_ini_dir(other.path());
    ini::save_settings(design.list);
    EXPECT_EQ(read_bytes(dir.file("Quelvane.INI")), read_bytes(other.file("Quelvane.INI")));
}

TEST_F(WindowTest, AClosingWhileTheStartUpMessageWaitsStartsNoReading)
{
    while_box_open = [this] { window->close(); };
    window->Form_Load();
    EXPECT_FALSE(window->Timer1().isActive());
    EXPECT_FALSE(read_bytes("Quelvane.INI").empty());  // saved all the same
}

// A valid file restores options, a greyed box and captions, never the
// title. Cleared groups mean port 1 with no timer, at 1 s, until a port is
// chosen.
TEST_F(WindowTest, AValidFileRestoresOptionsAndCaptionsButNeverTheTitle)
{
    const std::string cleared = "frm_quelvaner.option_com1.value=0\r\nfrm_quelvaner.option_1_sec.value=0\r\n";
    const struct { std::string lines; int port; bool timer; int interval; QString indoor; Qt::CheckState log; } cases[] = {
        {cleared + "frm_quelvaner.option_com3.value=1\r\nfrm_quelvaner.option_30_sec.value=1\r\n"
                   "frm_quelvaner.label_temperature_indoor.caption=19,5\xB0" "C\r\nfrm_quelvaner.check_log_to_file.value=2\r\n",
         3, true, 30000, "19,5°C", Qt::PartiallyChecked},
        {cleared, 1, false, 1000, "--.-", Qt::Unchecked},
    };
    for (const auto& c : cases) {
        new_window();
        std::ofstream("Quelvane.INI", std::ios::binary) << "[CT]\r\nFileId=quelv\r\n" << c.lines;
        window->Form_Load();
        EXPECT_TRUE(boxes.empty());
        EXPECT_TRUE(spin_until([&] { return board->CommPort() == c.port; }));
        EXPECT_EQ(window->Timer1().isActive(), c.timer);
        EXPECT_EQ(window->Timer1().interval(), c.interval);
        EXPECT_EQ(control<QLabel>("label_temperature_indoor")->text(), c.indoor);
        EXPECT_EQ(control<QCheckBox>("check_log_to_file")->checkState(), c.log);
        EXPECT_EQ(window->windowTitle(), QStringLiteral("Quelvane"));
    }
    control<QRadioButton>("option_com4")->click();
    EXPECT_TRUE(window->Timer1().isActive());
    EXPECT_TRUE(spin_until([this] { return board->CommPort() == 4; }));
}

// --- Before the window ------------------------------------------------------------

// A real X server (Xvfb) on a display number of its choosing, for as long
// as it lives.
class XServer {
public:
    XServer()
    {
        int ready[2];
        if (::pipe(ready) != 0) return;
        const std::string fd = std::to_string(ready[1]);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(ready[0]);
            ::execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-nolisten", "tcp", "-noreset", "-screen", "0", "64x64x24",
                     static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(ready[1]);
        // The number, then a line feed, once it listens; closing before the
        // line feed would end it.
        std::string number;
        pollfd wait{ready[0], POLLIN, 0};
        char byte = 0;
        while (pid_ > 0 && ::poll(&wait, 1, 20000) == 1 && ::read(ready[0], &byte, 1) == 1 && byte != '\n') {
            number += byte;
        }
        if (byte == '\n') display_ = ":" + number;
        ::close(ready[0]);
    }
    ~XServer()
    {
        if (pid_ > 0) ::kill(pid_, SIGTERM), ::waitpid(pid_, nullptr, 0);
    }
    const std::string& display() const { return display_; }  // empty if it could not start

private:
    pid_t pid_ = -1;
    std::string display_;
};

// Whether a display is there, looked at as the toolkit would: the platform
// chosen, and whether Qt has a plugin for it, then a connection to the X
// server or the compositor's socket. An X server is a real one, a compositor
// a socket file. (Displays that cannot be used are the program tests'.)
TEST(DisplayCheck, FindsTheDisplayTheToolkitWouldUseOrSaysWhyThereIsNone)
{
    const XServer x;
    ASSERT_FALSE(x.display().empty()) << "Xvfb did not start";
    const testsupport::TempDir runtime;
    sockaddr_un address{AF_UNIX, {}};
    runtime.file("wl-test").copy(address.sun_path, sizeof address.sun_path - 1);
    const int compositor = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(::bind(compositor, reinterpret_cast<const sockaddr*>(&address), sizeof address) + ::listen(compositor, 1), 0);
    const Env wayland = {{"WAYLAND_DISPLAY", "wl-test"}, {"XDG_RUNTIME_DIR", runtime.path()}};
    const auto with = [](Env env, const std::string& name, const std::string& value) { return env[name] = value, env; };
    const std::pair<Env, std::string> cases[] = {
        {{{"DISPLAY", x.display()}}, ""},
        {{{"DISPLAY", x.display() + ".0"}, {"QT_QPA_PLATFORM", "xcb"}}, ""},
        {wayland, ""},
        {{{"QT_QPA_PLATFORM", "offscreen"}}, ""},
        {{{"QT_QPA_PLATFORM", "minimal"}}, ""},
        {{{"QT_QPA_PLATFORM", "bogus;offscreen"}}, ""},
        {{{"QT_QPA_PLATFORM", "bogus;xcb"}, {"DISPLAY", x.display()}}, ""},
        {with(wayland, "QT_QPA_PLATFORM", "xcb"), "DISPLAY is not set"},
        {{{"QT_QPA_PLATFORM", "bogus:arg;other"}},
         "Qt has no platform plugin named bogus, Qt has no platform plugin named other"},
    };
    for (const auto& [env, problem] : cases) {
        EXPECT_EQ(window::missing_display([&env](const char* name) { return lookup(env, name); }), problem)
            << ::testing::PrintToString(env);
    }
    ::close(compositor);
}

TEST(DemoFolder, IsUnderXdgStateHomeWhenAbsoluteElseUnderHome)
{
    const std::pair<std::string, std::string> cases[] = {
        {"/var/state", "/var/state/quelvane-demo"},
        {"state", "/home/ana/.local/state/quelvane-demo"},
    };
    for (const auto& [state_home, folder] : cases) {
        const Env env = {{"XDG_STATE_HOME", state_home}, {"HOME", "/home/ana"}};
        EXPECT_EQ(window::demo_folder([&env](const char* name) { return lookup(env, name); }), folder);
    }
}
