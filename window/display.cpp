#include "window/display.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonObject>
#include <QLibraryInfo>
#include <QPluginLoader>
#include <QStringList>
#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <future>
#include <iostream>
#include <memory>
#include <optional>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>
#include <xcb/xcb.h>

namespace window {
namespace {

std::string variable(const Environment& env, const char* name)
{
    const char* value = env(name);
    return value != nullptr ? value : "";
}

// Whether something listens on the Unix socket at path. A full queue still
// means a server.
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

// Whether an X server takes a connection at display, as the X library makes
// it for the toolkit, within limit. The connection is made on a thread of
// its own: one to a host that accepts and never answers is left to it.
bool x_display_answers(const std::string& display, std::chrono::milliseconds limit)
{
    auto answer = std::make_shared<std::promise<bool>>();
    std::future<bool> answered = answer->get_future();
    std::thread connecting([display, answer] {
        int screen = 0;
        xcb_connection_t* connection = xcb_connect(display.c_str(), &screen);
        const bool usable = xcb_connection_has_error(connection) == 0;
        xcb_disconnect(connection);
        answer->set_value(usable);
    });
    if (answered.wait_for(limit) != std::future_status::ready) {
        connecting.detach();
        return false;
    }
    connecting.join();
    return answered.get();
}

bool wayland_display_answers(const std::string& display, const std::string& runtime_dir)
{
    if (display.starts_with('/')) {
        return answers(display);
    }
    return !runtime_dir.empty() && answers(runtime_dir + "/" + display);
}

// The names of the platform plugins Qt would find, where it looks for them:
// QT_QPA_PLATFORM_PLUGIN_PATH, then "platforms" under QT_PLUGIN_PATH and
// Qt's own plugin folder. Only their metadata is read; nothing is loaded.
QStringList platform_plugin_keys(const Environment& env)
{
    QStringList folders;
    const QString own = QString::fromLocal8Bit(variable(env, "QT_QPA_PLATFORM_PLUGIN_PATH"));
    if (!own.isEmpty()) {
        folders << own << own + QStringLiteral("/platforms");
    }
    for (const QString& path : QString::fromLocal8Bit(variable(env, "QT_PLUGIN_PATH")).split(u':', Qt::SkipEmptyParts)) {
        folders << path + QStringLiteral("/platforms");
    }
    folders << QLibraryInfo::path(QLibraryInfo::PluginsPath) + QStringLiteral("/platforms");
    QStringList keys;
    for (const QString& folder : folders) {
        const QDir dir(folder);
        for (const QString& file : dir.entryList(QDir::Files)) {
            QPluginLoader plugin(dir.filePath(file));
            for (const auto& key : plugin.metaData().value(QStringLiteral("MetaData")).toObject().value(QStringLiteral("Keys")).toArray()) {
                keys << key.toString();
            }
        }
    }
    return keys;
}

}  // namespace

std::string missing_display(const Environment& env, std::chrono::milliseconds limit)
{
    const std::string platforms = variable(env, "QT_QPA_PLATFORM");
    const std::string display = variable(env, "DISPLAY");
    const std::string wayland = variable(env, "WAYLAND_DISPLAY");
    // Unset, the toolkit takes X11, or Wayland in a Wayland session. A list
    // is tried in order: one usable platform is enough.
    bool x11 = platforms.empty();
    bool wayland_wanted = platforms.empty();
    std::vector<std::string> reasons;
    std::optional<QStringList> keys;  // scanned at the first name, once
    for (std::size_t at = 0; at < platforms.size();) {
        const std::size_t end = std::min(platforms.find(';', at), platforms.size());
        const std::string name = platforms.substr(at, std::min(platforms.find(':', at), end) - at);
        at = end + 1;
        if (name.empty()) {
            continue;
        }
        if (!keys) {
            keys = platform_plugin_keys(env);
        }
        if (!keys->contains(QString::fromStdString(name), Qt::CaseInsensitive)) {
            reasons.push_back("Qt has no platform plugin named " + name);
        } else if (name == "xcb") {
            x11 = true;
        } else if (name.starts_with("wayland")) {
            wayland_wanted = true;
        } else {
            return {};
        }
    }
    if ((x11 && !display.empty() && x_display_answers(display, limit)) ||
        (wayland_wanted && !wayland.empty() && wayland_display_answers(wayland, variable(env, "XDG_RUNTIME_DIR")))) {
        return {};
    }
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
