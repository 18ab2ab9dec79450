#include "settings/ini.h"

#include <iostream>

#include "settings/profile_file.h"

namespace ini {
namespace {

// The settings are used from the window's thread only.
std::string directory;
MessageBoxFn message_box;
bool unreadable_reported = false;

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

}  // namespace

const std::string& ini_dir() { return directory; }

void set_ini_dir(std::string new_directory) { directory = std::move(new_directory); }

// Before load_settings has fixed the directory, the current one stands in, so
// that the file never lands in the root directory.
std::string settings_path() { return (directory.empty() ? std::string(".") : directory) + settings_file_name; }

std::string read_ini_section(const std::string& section, const std::string& key,
                             const std::string& default_value)
{
    const profile::Lookup lookup = profile::get_string(section, key, default_value, settings_path());
    if (lookup.file == profile::FileState::unreadable && !unreadable_reported) {
        unreadable_reported = true;
        show_message("Fichier INI invalide ou absent", "");
    }
    return trim_blanks(lookup.value);
}

std::string read_ini(const std::string& key, const std::string& default_value)
{
    return read_ini_section(settings_section, key, default_value);
}

void write_ini(const std::string& key, const std::string& value)
{
    // A lost write leaves the previous settings in place: nothing to tell.
    profile::write_string(settings_section, key, value, settings_path());
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
void reset_unreadable_report() { unreadable_reported = false; }
}  // namespace detail

}  // namespace ini
