#pragma once

// The renderer reads its environment when it is made (DISPLAY names its display, say); tests set
// variables for a while.

#include <cstdlib>
#include <optional>
#include <string>

namespace test {

// The variable set to another value (unset for null) for the life of the object.
class EnvironmentVariable {
public:
    EnvironmentVariable(const char* name, const char* value) : name(name) {
        if (const char* current = std::getenv(name)) saved = current;
        if (value != nullptr)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~EnvironmentVariable() {
        if (saved)
            setenv(name.c_str(), saved->c_str(), 1);
        else
            unsetenv(name.c_str());
    }
    EnvironmentVariable(const EnvironmentVariable&) = delete;
    EnvironmentVariable& operator=(const EnvironmentVariable&) = delete;

private:
    const std::string name;
    std::optional<std::string> saved;
};

}  // namespace test
