#include "settings/saved_choices.h"

#include <map>
#include <string_view>
#include <vector>

#include "bus/posix_serial_control.h"
#include "settings/control_state.h"
#include "settings/control_table.h"
#include "settings/ini.h"

namespace ini {
namespace {

// The window's option buttons after it has loaded the settings: the
// design-time state, then each value restored in window order, where
// selecting one button clears the others of its group box. A file without the
// signature leaves the design-time state, as the window does.
std::map<std::string_view, bool> saved_option_buttons(const Snapshot& settings)
{
    using form::control_table;
    std::map<std::string_view, bool> selected;
    for (const auto& row : control_table) {
        if (row.kind == form::Kind::option_button) {
            selected[row.name] = (row.flags & form::selected) != 0;
        }
    }
    if (!has_signature(settings)) {
        return selected;
    }
    for (const auto& row : control_table) {
        if (row.kind != form::Kind::option_button) {
            continue;
        }
        const bool on = restored_value(settings, control_key_prefix + std::string(row.name),
                                       PersistentControl::ValueKind::switch_state, selected[row.name] ? 1 : 0) != 0;
        if (on) {
            for (const auto& other : control_table) {
                if (other.kind == form::Kind::option_button && other.container == row.container) {
                    selected[other.name] = false;
                }
            }
        }
        selected[row.name] = on;
    }
    return selected;
}

}  // namespace

SavedChoices saved_choices(const Snapshot& settings)
{
    const auto selected = saved_option_buttons(settings);
    const auto is_selected = [&selected](std::string_view name) { return selected.at(name); };
    SavedChoices choices;
    choices.port = form::selected_value(form::port_options, is_selected, 1);
    choices.sensors = selected.at("option_double") ? 2 : 1;
    choices.every_seconds = form::selected_value(form::interval_options, is_selected, 1);
    return choices;
}

std::string device_for_port(int port, const Snapshot& settings)
{
    return settings.get(ports_section, "COM" + std::to_string(port), serial::default_device_for_port(port));
}

std::string device_for_port(int port) { return device_for_port(port, Snapshot::read()); }

profile::WriteResult save_port_devices(std::span<const PortDevice> devices)
{
    std::vector<std::string> keys;
    keys.reserve(devices.size());  // the entries view into them
    std::vector<profile::Entry> entries;
    for (const PortDevice& device : devices) {
        keys.push_back("COM" + std::to_string(device.port));
        const auto refusal = serial::device_path_refusal(device.device);
        if (device.port < 1 || device.port > 4 || refusal) {
            const std::string why = refusal ? refusal->why : "there is no such port";
            return {profile::WriteStatus::failed, settings_path(), keys.back() + ": " + why};
        }
        entries.push_back({ports_section, keys.back(), device.device});
    }
    return profile::write_strings(settings_path(), entries);
}

}  // namespace ini
