#include "window/demo_board.h"

#include <QRandomGenerator>
#include <QTimer>
#include <array>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "sensor/simulated_board.h"

namespace window {

namespace {
// The sensors' centres, °C: indoor, outdoor.
constexpr std::array<double, 2> centres{21.0, 8.0};
}  // namespace

std::unique_ptr<sensor::SimulatedBoard> make_demo_sensors()
{
    auto board = std::make_unique<sensor::SimulatedBoard>();
    for (int i = 0; i < 2; ++i) {
        board->set_temperature(i, centres[static_cast<std::size_t>(i)]);
    }
    return board;
}

std::unique_ptr<serial::SerialControl> make_demo_board(QObject& owner)
{
    auto board = make_demo_sensors();
    // Each sensor's centre and its temperature now, °C.
    struct Drift {
        double centre;
        double now;
    };
    std::array<Drift, 2> drift{{{centres[0], centres[0]}, {centres[1], centres[1]}}};

    auto* timer = new QTimer(&owner);
    // Every few seconds each sensor may move half a degree, pulled back
    // towards its centre so the demo stays believable.
    QObject::connect(timer, &QTimer::timeout, &owner, [target = board.get(), drift]() mutable {
        for (int i = 0; i < 2; ++i) {
            auto& d = drift[static_cast<std::size_t>(i)];
            const int roll = static_cast<int>(QRandomGenerator::global()->bounded(6));
            double step = roll == 0 ? -0.5 : roll == 1 ? 0.5 : 0.0;
            if (d.now - d.centre > 2.0) {
                step = -0.5;
            } else if (d.centre - d.now > 2.0) {
                step = 0.5;
            }
            d.now += step;
            target->set_temperature(i, d.now);
        }
    });
    timer->start(3000);
    return board;
}

serial::Devices demo_devices()
{
    const auto listed = [] { return std::vector<serial::SerialDevice>{{demo_device, demo_stable_name}}; };
    return serial::Devices{listed, listed, [](const std::string& device) {
                               auto board = make_demo_sensors();
                               if (device != demo_device) {
                                   board->set_open_error(ENODEV);
                               }
                               return std::unique_ptr<serial::SerialControl>(std::move(board));
                           }};
}

std::string demo_folder(const Environment& env)
{
    const char* state_home = env("XDG_STATE_HOME");
    if (state_home != nullptr && state_home[0] == '/') {
        return std::string(state_home) + "/quelvane-demo";
    }
    std::string home = env("HOME") != nullptr ? env("HOME") : "";
    if (home.empty()) {
        const passwd* user = ::getpwuid(::geteuid());
        home = user != nullptr && user->pw_dir != nullptr ? user->pw_dir : "";
    }
    return home.empty() ? std::string() : home + "/.local/state/quelvane-demo";
}

bool enter_demo_folder()
{
    const std::string folder = demo_folder();
    int error = folder.empty() ? ENOENT : 0;
    for (std::size_t slash = 1; error == 0 && slash != std::string::npos;) {
        slash = folder.find('/', slash + 1);
        if (::mkdir(folder.substr(0, slash).c_str(), 0700) != 0 && errno != EEXIST) {
            error = errno;
        }
    }
    if (error == 0 && ::chdir(folder.c_str()) != 0) {
        error = errno;
    }
    if (error != 0) {
        std::cerr << "quelvane-demo: no folder for the demo's settings and log"
                  << (folder.empty() ? std::string(" (no home directory)") : " at " + folder) << ": "
                  << std::strerror(error) << '\n';
        return false;
    }
    return true;
}

}  // namespace window
