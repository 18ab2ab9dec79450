#include "bus/serial_devices.h"

#include <algorithm>
#include <dirent.h>
#include <filesystem>
#include <optional>
#include <unistd.h>

#include "bus/posix_serial_control.h"

namespace serial {
namespace {

constexpr const char* by_id_folder = "/dev/serial/by-id";

// The names in a folder, "." and ".." left out; none when it cannot be read.
std::vector<std::string> names_in(const std::string& folder)
{
    std::vector<std::string> names;
    DIR* listing = ::opendir(folder.c_str());
    if (listing == nullptr) {
        return names;
    }
    while (const dirent* entry = ::readdir(listing)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") {
            names.push_back(name);
        }
    }
    ::closedir(listing);
    return names;
}

// Where a node name stands in the listing: its family (ttyS, ttyUSB, ttyACM)
// and its number; nullopt for a name that is none of them. Only ttyS0 to
// ttyS3 are ports COM1 to COM4; a kernel makes many more ttyS nodes than
// there are UARTs.
struct Rank {
    int family;
    unsigned long number;
    auto operator<=>(const Rank&) const = default;
};

std::optional<Rank> rank_of(const std::string& name)
{
    static const std::string families[] = {"ttyS", "ttyUSB", "ttyACM"};
    for (int family = 0; family < 3; ++family) {
        const std::string& prefix = families[family];
        const std::string digits = name.substr(std::min(name.size(), prefix.size()));
        if (!name.starts_with(prefix) || digits.empty() || digits.size() > 6 ||
            !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
            continue;
        }
        const unsigned long number = std::stoul(digits);
        if (family == 0 && (digits.size() != 1 || number > 3)) {
            return std::nullopt;
        }
        return Rank{family, number};
    }
    return std::nullopt;
}

// The device a by-id link leads to, as the system names it: a relative
// target is taken from /dev/serial/by-id/, as udev writes them ("../../ttyUSB0").
std::optional<std::string> link_device(const std::string& root, const std::string& name)
{
    char target[256];
    const ssize_t length = ::readlink((root + by_id_folder + "/" + name).c_str(), target, sizeof target);
    if (length <= 0 || static_cast<std::size_t>(length) == sizeof target) {
        return std::nullopt;
    }
    const std::string text(target, static_cast<std::size_t>(length));
    std::filesystem::path device = text.starts_with('/') ? std::filesystem::path(text)
                                                         : std::filesystem::path(by_id_folder) / text;
    std::string normal = device.lexically_normal().string();
    if (device_path_refusal(normal)) {
        return std::nullopt;
    }
    return normal;
}

}  // namespace

std::vector<SerialDevice> list_stable_names(const std::string& root)
{
    std::vector<std::string> names = names_in(root + by_id_folder);
    std::sort(names.begin(), names.end());
    std::vector<SerialDevice> devices;
    for (const std::string& name : names) {
        const std::string stable = std::string(by_id_folder) + "/" + name;
        const std::optional<std::string> device = link_device(root, name);
        const bool known = std::any_of(devices.begin(), devices.end(),
                                       [&device](const SerialDevice& d) { return d.device == device; });
        if (device && !known && !device_path_refusal(stable)) {
            devices.push_back({*device, stable});
        }
    }
    return devices;
}

std::vector<SerialDevice> list_serial_devices(const std::string& root)
{
    std::vector<std::pair<Rank, std::string>> nodes;
    for (const std::string& name : names_in(root + "/dev")) {
        if (const auto rank = rank_of(name)) {
            nodes.emplace_back(*rank, name);
        }
    }
    std::sort(nodes.begin(), nodes.end());
    std::vector<SerialDevice> devices;
    for (const auto& [rank, name] : nodes) {
        devices.push_back({"/dev/" + name, {}});
    }
    for (const SerialDevice& named : list_stable_names(root)) {
        const auto listed = std::find_if(devices.begin(), devices.end(),
                                         [&named](const SerialDevice& d) { return d.device == named.device; });
        if (listed == devices.end()) {
            devices.push_back(named);
        } else {
            listed->stable = named.stable;
        }
    }
    return devices;
}

std::unique_ptr<SerialControl> open_port(const std::string& device)
{
    // The control itself refuses a device that is no port path, before any open.
    return std::make_unique<PosixSerialControl>([device](int) { return device; });
}

Devices system_devices()
{
    return Devices{
        [] { return list_serial_devices({}); },
        [] { return list_stable_names({}); },
        open_port,
    };
}

}  // namespace serial
