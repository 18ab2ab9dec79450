// A fresh directory per test, removed with its contents afterwards, and
// whole-file helpers.
#pragma once

#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <stdexcept>
#include <string>
#include <stdlib.h>

namespace settings_test {

namespace fs = std::filesystem;

class TempDir {
public:
    TempDir() : path_((fs::temp_directory_path() / "quelvane-settings-XXXXXX").string())
    {
        if (::mkdtemp(path_.data()) == nullptr) throw std::runtime_error("mkdtemp");
    }
    ~TempDir()
    {
        std::error_code ignored;
        fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ignored);
        fs::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    std::set<std::string> entries() const
    {
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(path_)) names.insert(entry.path().filename().string());
        return names;
    }

private:
    std::string path_;
};

inline std::string read_bytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void write_bytes(const std::string& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

}  // namespace settings_test
