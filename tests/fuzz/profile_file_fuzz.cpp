// libFuzzer target for the settings file: the input bytes become the whole
// settings file, a few keys are read through the calls the window uses, then
// one key is written. A value read holds at most 127 bytes of the file. A
// write reads back, and changes the written key's line only, or adds it (with
// a "[CT]" header when there was none): every other line stays byte for byte,
// in order. A broken rule aborts.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "text/cp1252.h"
#include "settings/ini.h"

#define REQUIRE(condition)                                                                   \
    ((condition) ? void()                                                                    \
                 : (std::fprintf(stderr, "%s:%d: broken: %s\n", __FILE__, __LINE__, #condition), std::abort()))

namespace {

// Longer than any value the file can give, so never taken for one.
const std::string absent(200, '#');

// The settings directory: private, made once per process.
const std::string& settings_path()
{
    static const std::string path = [] {
        const char* base = std::getenv("TMPDIR");
        std::string dir = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/quelvane-fuzz-XXXXXX";
        REQUIRE(::mkdtemp(dir.data()) != nullptr);
        ini::set_ini_dir(dir);
        ini::set_message_box([](const std::string&, const std::string&) {});
        return ini::settings_path();
    }();
    return path;
}

// The lines of the file, each with its line end: LF, CR LF or a lone CR; the
// last one may have none.
std::vector<std::string_view> lines_of(std::string_view bytes)
{
    std::vector<std::string_view> lines;
    while (!bytes.empty()) {
        std::size_t length = std::min(bytes.find_first_of("\r\n"), bytes.size() - 1) + 1;
        if (bytes[length - 1] == '\r' && length < bytes.size() && bytes[length] == '\n') {
            ++length;
        }
        lines.push_back(bytes.substr(0, length));
        bytes.remove_prefix(length);
    }
    return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string before(reinterpret_cast<const char*>(data), size);
    std::ofstream(settings_path(), std::ios::binary | std::ios::trunc) << before;

    const std::string keys[] = {"FileId", "frm_quelvaner.Label1.caption", "frm_quelvaner.absent.value"};
    for (const std::string& key : keys) {
        const std::string value = ini::read_ini(key, absent);
        REQUIRE(value == absent || text::utf8_to_cp1252(value).size() <= 127);
    }

    // One write: a key and a plain value chosen by the input.
    const std::string& key = keys[size == 0 ? 0 : data[0] % 3];
    std::string value = "v";
    for (std::size_t i = 1; i < size && i <= 16; ++i) {
        value += "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"[data[size - i] % 62];
    }
    const bool had_key = ini::read_ini(key, absent) != absent;
    ini::write_ini(key, value);
    REQUIRE(ini::read_ini(key, value + "?") == value);

    std::ifstream in(settings_path(), std::ios::binary);
    const std::string after{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    const auto old_lines = lines_of(before);
    const auto new_lines = lines_of(after);
    const std::size_t shorter = std::min(old_lines.size(), new_lines.size());
    std::size_t same = 0;  // common prefix, then common suffix
    while (same < shorter && old_lines[same] == new_lines[same]) ++same;
    for (std::size_t k = 1; same < shorter && old_lines[old_lines.size() - k] == new_lines[new_lines.size() - k]; ++k) {
        ++same;
    }
    const std::size_t replaced = old_lines.size() - same;
    const std::size_t added = new_lines.size() - same;
    REQUIRE(replaced <= 1 && added <= replaced + 2);
    REQUIRE(had_key ? added == replaced : added > replaced);
    return 0;
}
