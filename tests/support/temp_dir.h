// A fresh directory per test, removed with its contents afterwards, and
// whole-file helpers.
#pragma once

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <stdlib.h>

namespace testsupport {

struct TempDir {
    TempDir() { if (::mkdtemp(root.data()) == nullptr) ::abort(); }
    ~TempDir() { std::error_code ignored; std::filesystem::remove_all(root, ignored); }
    const std::string& path() const { return root; }
    std::string file(const std::string& name) const { return root + "/" + name; }
    std::set<std::string> entries() const
    {
        std::set<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(root)) names.insert(entry.path().filename());
        return names;
    }
    std::string root = std::filesystem::temp_directory_path() / "quelvane-settings-XXXXXX";
};

inline std::string read_bytes(const std::string& path) { return (std::stringstream() << std::ifstream(path).rdbuf()).str(); }
inline void write_bytes(const std::string& path, const std::string& bytes) { std::ofstream(path) << bytes; }

}  // namespace testsupport
