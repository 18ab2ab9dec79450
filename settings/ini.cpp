#include "settings/ini.h"

#include <iostream>
#include <utility>
#include <vector>


namespace ini {
namespace {

// The settings are used from the window's thread only.
std::string directory;
MessageBoxFn message_box;
const profile::FileCalls* file_calls = nullptr;
bool unreadable_reported = false;
bool read_only_reported = false;
bool failure_reported = false;
bool in_place_reported = false;

std::string trim_blanks(const std::string& s)
{
    const auto first = s.find_first_not_of(" \t");
    if (first == std::string::npos) {
        return {};
    }
    return s.substr(first, s.find_last_not_of(" \t") - first + 1);
}

void print_message(const std::string& text, const std::string& title)
{
    std::string lines = text;
    for (char& c : lines) {
        if (c == '\r') c = '\n';
    }
    std::cerr << (title.empty() ? "quelvane" : title) << ": " << lines << '\n';
}

// One line on standard error for a write that was not made; the window
// stays silent, as the profile service would.
void report(const profile::WriteResult& result, const std::string& path)
{
    const std::string where = result.file == path ? path : path + " (a link to " + result.file + ")";
    if (result.status == profile::WriteStatus::read_only && !std::exchange(read_only_reported, true)) {
        std::cerr << "quelvane: settings not saved: " << where << " is read-only (no write permission)\n";
    } else if (result.status == profile::WriteStatus::failed && !std::exchange(failure_reported, true)) {
        std::cerr << "quelvane: settings not saved to " << where << ": " << result.reason << '\n';
    } else if (result.status == profile::WriteStatus::written_in_place && !std::exchange(in_place_reported, true)) {
        std::cerr << "quelvane: settings saved in place, not atomically: " << where
                  << ": its folder refuses a temporary file (" << result.reason << ")\n";
    }
}

void write_entries(std::span<const profile::Entry> entries)
{
    const std::string path = settings_path();
    report(profile::write_strings(path, entries, file_calls != nullptr ? *file_calls : profile::FileCalls::posix()), path);
}

}  // namespace

const std::string& ini_dir() { return directory; }

void set_ini_dir(std::string new_directory) { directory = std::move(new_directory); }

// Before load_settings has fixed the directory, the current one stands in, so
// that the file never lands in the root directory.
std::string settings_path() { return (directory.empty() ? std::string(".") : directory) + settings_file_name; }

Snapshot Snapshot::read()
{
    profile::FileContents file = profile::read_file(settings_path());
    if (file.state == profile::FileState::unreadable && !std::exchange(unreadable_reported, true)) {
        show_message("Fichier INI invalide ou absent", "");
    }
    return Snapshot(profile::Document(std::move(file.bytes)));
}

std::string Snapshot::get(const std::string& section, const std::string& key, const std::string& default_value) const
{
    const auto value = document_.find(section, key, profile::read_limit);
    return trim_blanks(value ? *value : default_value);
}

std::string Snapshot::get(const std::string& key, const std::string& default_value) const
{
    return get(settings_section, key, default_value);
}

std::string read_ini(const std::string& key, const std::string& default_value)
{
    return Snapshot::read().get(key, default_value);
}

void write_ini(const std::string& key, const std::string& value)
{
    const profile::Entry entry{settings_section, key, value};
    write_entries(std::span(&entry, 1));
}

void write_ini_all(std::span<const KeyValue> keys)
{
    std::vector<profile::Entry> entries;
    entries.reserve(keys.size());
    for (const auto& [key, value] : keys) {
        entries.push_back({settings_section, key, value});
    }
    write_entries(entries);
}

void set_message_box(MessageBoxFn show) { message_box = std::move(show); }

void show_message(const std::string& text, const std::string& title)
{
    if (message_box) {
        message_box(text, title);
    } else {
        print_message(text, title);
    }
}

namespace detail {
void reset_reports() { unreadable_reported = read_only_reported = failure_reported = in_place_reported = false; }
void set_file_calls(const profile::FileCalls* calls) { file_calls = calls; }
}  // namespace detail

}  // namespace ini
