#pragma once

// A display name with no X server behind it, kept so while the object lives: every connection to
// it is refused, even while other tests start servers on free display numbers.

#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>

namespace test {

class VacantDisplay {
public:
    VacantDisplay() : socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        if (socket < 0) throw std::runtime_error("no socket");
        for (int number = 0; number < 1000 && name.empty(); ++number)
            if (hold(number)) name = ":" + std::to_string(number);
        if (name.empty()) {
            close(socket);
            throw std::runtime_error("no vacant display number");
        }
    }
    ~VacantDisplay() { close(socket); }
    VacantDisplay(const VacantDisplay&) = delete;
    VacantDisplay& operator=(const VacantDisplay&) = delete;

    std::string name;

private:
    // A server of another network namespace shows only by its socket file and its lock file. A
    // local server also listens on the abstract name of its socket; that name bound here without
    // listening refuses every connection, and a server that finds it taken takes another number.
    bool hold(int number) {
        const std::string path = "/tmp/.X11-unix/X" + std::to_string(number);
        std::error_code unused;
        if (std::filesystem::exists(path, unused) || std::filesystem::exists("/tmp/.X" + std::to_string(number) + "-lock", unused))
            return false;
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path + 1, path.data(), path.size());
        const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + path.size());
        return bind(socket, reinterpret_cast<const sockaddr*>(&address), length) == 0;
    }

    const int socket;
};

}  // namespace test
