#pragma once

#include <unistd.h>

#include <filesystem>
#include <string>
#include <system_error>

namespace test {

// A fresh, empty folder under the system's temporary directory, removed with everything in it.
// Its name carries the process id, so that tests running in parallel never share one.
class TempFolder {
public:
    explicit TempFolder(const std::string& name)
        : root(std::filesystem::temp_directory_path() / (name + "-" + std::to_string(::getpid()))) {
        std::filesystem::remove_all(root);
        std::filesystem::create_directories(root);
    }
    ~TempFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(root, ignored);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    std::filesystem::path operator/(const std::string& leaf) const { return root / leaf; }
    bool empty() const { return std::filesystem::is_empty(root); }

    const std::filesystem::path root;
};

}  // namespace test
