// The settings file: one "CT" section of key=value lines in "Quelvane.INI" in
// the directory that was current at start-up, read once for a load or a key,
// and written one key, or a whole save, at a time.
#pragma once

#include <functional>
#include <span>
#include <string>
#include <utility>

#include "settings/profile_file.h"

namespace ini {

inline constexpr const char* settings_file_name = "/Quelvane.INI";
inline constexpr const char* settings_section = "CT";
// Hand-edited section mapping port numbers to devices: COM1=/dev/ttyUSB0.
inline constexpr const char* ports_section = "Ports";

// Directory of the settings file; load_settings sets it once.
const std::string& ini_dir();
void set_ini_dir(std::string directory);
// ini_dir followed by the file name.
std::string settings_path();

// The settings file as one read found it: a load, a command or a [Ports]
// lookup reads the file once, however many keys it looks up.
class Snapshot {
public:
    // Reads the settings file. One that exists but cannot be read is
    // reported once per run ("Fichier INI invalide ou absent") and reads as
    // missing.
    static Snapshot read();

    // The stored value of key in section (at most 127 characters, blanks
    // around it removed), or default_value when the file, section or key is
    // missing. Text is UTF-8 here, Windows-1252 in the file.
    std::string get(const std::string& section, const std::string& key, const std::string& default_value) const;
    // The same in section "CT".
    std::string get(const std::string& key, const std::string& default_value) const;

private:
    explicit Snapshot(profile::Document document) : document_(std::move(document)) {}
    profile::Document document_;
};

// Snapshot::read().get(key, default_value): one key, one read.
std::string read_ini(const std::string& key, const std::string& default_value);
// Stores value under key in section "CT". A write that cannot be made is
// lost, and the window is not told; standard error is, once per run: when the
// file's mode bits refuse writing (it is then left as it is), when a write
// fails (the path and the system's reason), and when the file had to be
// rewritten in place, not atomically, because its folder refuses a temporary
// file.
void write_ini(const std::string& key, const std::string& value);
// Stores every key and value in section "CT" as one replacement of the file:
// the same bytes as write_ini key after key, but the file is never seen with
// only some of them.
using KeyValue = std::pair<std::string, std::string>;
void write_ini_all(std::span<const KeyValue> keys);

// Every message box of the settings goes through here: text (UTF-8, lines
// separated by "\r" or "\n") and title (may be empty). The window installs its
// own; the default writes to standard error.
using MessageBoxFn = std::function<void(const std::string& text, const std::string& title)>;
void set_message_box(MessageBoxFn show);
void show_message(const std::string& text, const std::string& title);

namespace detail {
// Each report is made once per run; this makes the next one report again
// (for tests).
void reset_reports();
// The file calls of every write (tests count them or make them fail);
// nullptr restores the system's.
void set_file_calls(const profile::FileCalls* calls);
}  // namespace detail

}  // namespace ini
