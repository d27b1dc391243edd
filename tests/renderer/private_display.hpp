#pragma once

// An X server of the test's own (Xvfb from PATH, on a free display number), for what must not
// change the shared display: its font path, say.

#include <errno.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <utility>
#include <vector>

#include "support/polling.hpp"
#include "x_session.hpp"

namespace test {

class PrivateDisplay {
public:
    // Whether the server resets whenever its last client leaves, as a plain Xvfb does: a reset
    // refuses connections for a moment.
    enum class Reset {
        never,
        whenIdle,
    };

    // The server never resets unless asked; one that goes away just after announcing itself is
    // replaced by a fresh one. screen: width x height x depth; options: further arguments of the
    // server.
    explicit PrivateDisplay(std::string screen = "320x240x24", std::vector<std::string> options = {}, Reset reset = Reset::never)
        : screen(std::move(screen)), options(std::move(options)), reset(reset) {
        for (int attempt = 0; attempt < 3 && name.empty(); ++attempt) {
            start();
            if (!name.empty() && !reachable()) stop();
        }
        if (name.empty()) throw std::runtime_error("Xvfb did not start");
    }
    ~PrivateDisplay() { stop(); }
    PrivateDisplay(const PrivateDisplay&) = delete;
    PrivateDisplay& operator=(const PrivateDisplay&) = delete;

    std::string name;

private:
    void start() {
        int pipeEnds[2];
        if (pipe(pipeEnds) != 0) throw std::runtime_error("pipe failed");
        // Made before the fork: the child of a process with threads must not allocate.
        const std::string fd = std::to_string(pipeEnds[1]);
        std::vector<const char*> arguments = {"Xvfb", "-displayfd", fd.c_str(), "-nolisten", "tcp", "-screen", "0", screen.c_str()};
        if (reset == Reset::never) arguments.push_back("-noreset");
        for (const std::string& option : options) arguments.push_back(option.c_str());
        arguments.push_back(nullptr);
        server = fork();
        if (server == 0) {
            close(pipeEnds[0]);
            execvp("Xvfb", const_cast<char* const*>(arguments.data()));
            _exit(127);
        }
        close(pipeEnds[1]);
        const std::string number = server > 0 ? announcement(pipeEnds[0]) : std::string();
        close(pipeEnds[0]);
        if (!number.empty()) {
            name = ":" + std::to_string(std::stoi(number));
        } else {
            stop();
        }
    }

    // The server writes its display number once it accepts connections, and the newline after
    // it in a write of its own: a server whose second write finds the pipe closed ends itself.
    // So the pipe is read to the newline, or to its end when the server ends first.
    static std::string announcement(int pipe) {
        std::string line;
        char buffer[16];
        while (line.find('\n') == std::string::npos) {
            const ssize_t n = read(pipe, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            line.append(buffer, static_cast<std::size_t>(n));
        }
        return line;
    }

    bool reachable() const {
        bool opened = false;
        // A server that has ended accepts no connection any more.
        const auto decided = [&] {
            if (waitpid(server, nullptr, WNOHANG) != 0) return true;
            if (Display* display = XOpenDisplay(name.c_str())) {
                XCloseDisplay(display);
                opened = true;
            }
            return opened;
        };
        pollUntil(decided, std::chrono::seconds(5), std::chrono::milliseconds(20));
        return opened;
    }

    void stop() {
        name.clear();
        if (server <= 0) return;
        kill(server, SIGTERM);
        waitpid(server, nullptr, 0);
        server = 0;
    }

    const std::string screen;
    const std::vector<std::string> options;
    const Reset reset;
    pid_t server = 0;
};

}  // namespace test
