#include "settings/control_state.h"

#include <charconv>
#include <cmath>
#include <filesystem>
#include <system_error>
#include <vector>

#include "settings/ini.h"

namespace ini {
namespace {

constexpr const char* signature_key = "FileId";
constexpr const char* signature = "quelv";

bool is_digit(char c) { return c >= '0' && c <= '9'; }

std::size_t digits_from(std::string_view text, std::size_t i)
{
    while (i < text.size() && is_digit(text[i])) ++i;
    return i;
}

// Stored value of a switch when its key is missing: the value itself for a
// check box (0, 1, 2), "1" for any other non-zero state.
std::string switch_text(double value)
{
    if (value == 0 || value == 1 || value == 2) {
        return number_text(value);
    }
    return "1";
}

std::string current_directory()
{
    std::error_code error;
    std::filesystem::path directory = std::filesystem::current_path(error);
    return error ? std::string(".") : directory.string();
}

template <typename Step>
void passing_over_errors(Step step)
{
    try {
        step();
    } catch (...) {
        // One property that cannot be read or set does not stop the others.
    }
}

// Calls step(control, key prefix) for every control in window order; a
// control whose name cannot be had is passed over.
template <typename Step>
void for_each_control(ControlList controls, Step step)
{
    for (PersistentControl* control : controls) {
        if (control == nullptr) {
            continue;
        }
        std::string key;
        passing_over_errors([&] { key = control_key_prefix + control->name(); });
        if (!key.empty()) {
            step(control, key);
        }
    }
}

}  // namespace

double leading_number(std::string_view text)
{
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    // The extent of the number is found here rather than by from_chars, which
    // would also take "inf", "nan" and hexadecimal.
    const std::size_t start = i;
    std::size_t end = digits_from(text, i);
    bool has_digits = end > start;
    if (end < text.size() && text[end] == '.') {
        const std::size_t fraction_end = digits_from(text, end + 1);
        has_digits = has_digits || fraction_end > end + 1;
        end = fraction_end;
    }
    if (!has_digits) {
        return 0;
    }
    bool negative_exponent = false;
    if (end < text.size() && (text[end] == 'e' || text[end] == 'E')) {
        std::size_t j = end + 1;
        if (j < text.size() && (text[j] == '+' || text[j] == '-')) {
            negative_exponent = text[j] == '-';
            ++j;
        }
        const std::size_t exponent_end = digits_from(text, j);
        if (exponent_end > j) {
            end = exponent_end;
        }
    }
    double magnitude = 0;
    const auto result = std::from_chars(text.data() + start, text.data() + end, magnitude);
    if (result.ec == std::errc::result_out_of_range) {
        magnitude = negative_exponent ? 0.0 : HUGE_VAL;
    }
    return negative ? -magnitude : magnitude;
}

std::string number_text(double value)
{
    char buffer[32];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, result.ptr);
}

bool has_signature(const Snapshot& settings) { return settings.get(signature_key, "None").starts_with(signature); }

double restored_value(const Snapshot& settings, const std::string& key, PersistentControl::ValueKind kind,
                      double current)
{
    const std::string fallback =
        kind == PersistentControl::ValueKind::switch_state ? switch_text(current) : number_text(current);
    return leading_number(settings.get(key + ".value", fallback));
}

Snapshot load_settings(ControlList controls)
{
    set_ini_dir(current_directory());

    Snapshot settings = Snapshot::read();
    if (!has_signature(settings)) {
        show_message("Fichier de départ introuvable\r" + settings_path() + "\r\rUtilisation des valeurs par défaut",
                     "Erreur");
        return settings;
    }

    for_each_control(controls, [&settings](PersistentControl* control, const std::string& key) {
        passing_over_errors([&] {
            if (control->has_caption()) {
                control->set_caption(settings.get(key + ".caption", control->caption()));
            }
        });
        passing_over_errors([&] {
            const auto kind = control->value_kind();
            if (kind == PersistentControl::ValueKind::none) {
                return;
            }
            control->set_value(restored_value(settings, key, kind, control->value()));
        });
    });
    return settings;
}

void save_settings(ControlList controls)
{
    // Gathered first and written as one change, so that a save cut short
    // leaves the previous settings whole rather than half of each.
    std::vector<KeyValue> keys{{signature_key, signature}};
    for_each_control(controls, [&keys](PersistentControl* control, const std::string& key) {
        passing_over_errors([&] {
            if (control->has_caption()) {
                keys.emplace_back(key + ".caption", control->caption());
            }
        });
        passing_over_errors([&] {
            switch (control->value_kind()) {
            case PersistentControl::ValueKind::none:
                break;
            case PersistentControl::ValueKind::switch_state:
                keys.emplace_back(key + ".value", control->value() != 0 ? "1" : "0");
                break;
            case PersistentControl::ValueKind::number:
                keys.emplace_back(key + ".value", number_text(control->value()));
                break;
            }
        });
    });
    write_ini_all(keys);
}

}  // namespace ini
