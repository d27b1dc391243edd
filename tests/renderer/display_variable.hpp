#pragma once

// The renderer connects to the display that DISPLAY names when it is made; tests point it
// elsewhere for a while.

#include <cstdlib>
#include <string>

namespace test {

// DISPLAY set to another value (unset for null) for the life of the object.
class DisplayVariable {
public:
    explicit DisplayVariable(const char* value) : saved(std::getenv("DISPLAY") ? std::getenv("DISPLAY") : "") {
        if (value != nullptr)
            setenv("DISPLAY", value, 1);
        else
            unsetenv("DISPLAY");
    }
    ~DisplayVariable() {
        if (saved.empty())
            unsetenv("DISPLAY");
        else
            setenv("DISPLAY", saved.c_str(), 1);
    }
    DisplayVariable(const DisplayVariable&) = delete;
    DisplayVariable& operator=(const DisplayVariable&) = delete;

private:
    const std::string saved;
};

}  // namespace test
