#include "window/display.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <iostream>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace window {
namespace {

std::string variable(const Environment& env, const char* name)
{
    const char* value = env(name);
    return value != nullptr ? value : "";
}

// Whether something listens on the Unix socket at path; a leading '\0' names
// an abstract socket. A full queue still means a server.
bool answers(const std::string& path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path) {
        return false;
    }
    std::memcpy(address.sun_path, path.data(), path.size());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return true;  // cannot tell: the toolkit will
    }
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size());
    const bool connected = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), length) == 0 || errno == EAGAIN;
    ::close(fd);
    return connected;
}

// An X display: [host]:number[.screen]. Only a local one is looked for, at
// the X server's abstract socket and then at its socket file.
bool x_display_answers(const std::string& display)
{
    const std::size_t colon = display.rfind(':');
    if (colon == std::string::npos) {
        return false;
    }
    const std::string host = display.substr(0, colon);
    if (!host.empty() && host != "unix") {
        return true;  // another host, or a socket path: taken on trust
    }
    const std::string number = display.substr(colon + 1, display.find('.', colon) - colon - 1);
    if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    const std::string socket = "/tmp/.X11-unix/X" + number;
    return answers(std::string(1, '\0') + socket) || answers(socket);
}

bool wayland_display_answers(const std::string& display, const std::string& runtime_dir)
{
    if (display.starts_with('/')) {
        return answers(display);
    }
    return !runtime_dir.empty() && answers(runtime_dir + "/" + display);
}

}  // namespace

std::string missing_display(const Environment& env)
{
    const std::string platforms = variable(env, "QT_QPA_PLATFORM");
    const std::string display = variable(env, "DISPLAY");
    const std::string wayland = variable(env, "WAYLAND_DISPLAY");
    // Unset, the toolkit takes X11, or Wayland in a Wayland session.
    bool x11 = platforms.empty();
    bool wayland_wanted = platforms.empty();
    for (std::size_t at = 0; at < platforms.size();) {
        const std::size_t end = std::min(platforms.find(';', at), platforms.size());
        const std::string name = platforms.substr(at, std::min(platforms.find(':', at), end) - at);
        if (name == "xcb") {
            x11 = true;
        } else if (name.starts_with("wayland")) {
            wayland_wanted = true;
        } else if (!name.empty()) {
            return {};
        }
        at = end + 1;
    }
    if ((x11 && !display.empty() && x_display_answers(display)) ||
        (wayland_wanted && !wayland.empty() && wayland_display_answers(wayland, variable(env, "XDG_RUNTIME_DIR")))) {
        return {};
    }
    std::vector<std::string> reasons;
    if (x11) {
        reasons.push_back(display.empty() ? "DISPLAY is not set" : "no X server answers at DISPLAY " + display);
    }
    if (wayland_wanted) {
        reasons.push_back(wayland.empty() ? "WAYLAND_DISPLAY is not set" : "no compositor answers at WAYLAND_DISPLAY " + wayland);
    }
    std::string reason;
    for (const std::string& part : reasons) {
        reason += (reason.empty() ? "" : ", ") + part;
    }
    return reason;
}

bool require_display(const char* program_path)
{
    const std::string reason = missing_display();
    if (reason.empty()) {
        return true;
    }
    const std::string path = program_path != nullptr ? program_path : "quelvane";
    const std::string program = path.substr(path.rfind('/') + 1);
    std::cerr << program << ": the window needs a display, and there is none here (" << reason
              << "); without one, readings can be taken with " << program << " --read or " << program << " --log\n";
    return false;
}

}  // namespace window
