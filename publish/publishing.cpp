#include "publish/publishing.h"

#include <cstdio>
#include <dlfcn.h>
#include <filesystem>
#include <mutex>
#include <system_error>

namespace publish {
namespace {

constexpr const char* module_name = "libquelvane_publishers.so";

// Where the module is: beside the installed program (the relative path from
// its bin folder to the module's folder), else where the build put it.
std::string module_path()
{
    std::error_code error;
    const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error);
    if (!error) {
        const std::filesystem::path installed = program.parent_path() / QUELVANE_PUBLISHERS_FROM_BIN / module_name;
        if (std::filesystem::exists(installed, error)) {
            return installed.lexically_normal().string();
        }
    }
    return QUELVANE_PUBLISHERS_BUILT;
}

// The module's start, loaded once for the life of the process (its threads
// may outlive a Publishing); nullptr, with why, when it cannot be loaded.
StartPublishers load_module(std::string& why)
{
    static std::once_flag once;
    static StartPublishers start = nullptr;
    static std::string failure;
    std::call_once(once, [] {
        const std::string path = module_path();
        void* module = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (module == nullptr) {
            failure = "publishing is not available: " + std::string(::dlerror());
            return;
        }
        const auto version = reinterpret_cast<PublishersVersion>(::dlsym(module, publishers_version_symbol));
        if (version == nullptr || std::string(version()) != QUELVANE_VERSION) {
            failure = "publishing is not available: " + path + " is not the module of quelvane " QUELVANE_VERSION;
            return;
        }
        start = reinterpret_cast<StartPublishers>(::dlsym(module, start_publishers_symbol));
        if (start == nullptr) {
            failure = "publishing is not available: " + path + " has no " + start_publishers_symbol;
        }
    });
    why = failure;
    return start;
}

}  // namespace

void report_to_stderr(const std::string& line)
{
    // One call, so that a line from this thread and one from another never mix.
    const std::string whole = "quelvane: " + line + "\n";
    std::fputs(whole.c_str(), stderr);
}

Publishing::Publishing(std::unique_ptr<Publishers> publishers) : publishers_(std::move(publishers)) {}
Publishing::~Publishing() = default;

std::unique_ptr<Publishing> Publishing::start(const Plan& plan, std::string& error, Report report)
{
    const StartPublishers start = load_module(error);
    if (start == nullptr) {
        return nullptr;
    }
    std::unique_ptr<Publishers> publishers(start(plan, error, report));
    if (!publishers) {
        return nullptr;
    }
    return std::unique_ptr<Publishing>(new Publishing(std::move(publishers)));
}

void Publishing::reading(const Reading& reading) { publishers_->reading(reading); }

bool Publishing::deliver(std::chrono::steady_clock::time_point deadline) { return publishers_->deliver(deadline); }

std::string Publishing::metrics_endpoint() const { return publishers_->metrics_endpoint(); }
std::string Publishing::mqtt_destination() const { return publishers_->mqtt_destination(); }

}  // namespace publish
