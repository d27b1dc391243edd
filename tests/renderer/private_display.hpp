#pragma once

// An X server of the test's own (Xvfb from PATH, on a free display number), for what must not
// change the shared display: its font path, say.

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>
#include <string>
#include <sys/wait.h>

namespace test {

class PrivateDisplay {
public:
    PrivateDisplay() {
        int pipeEnds[2];
        if (pipe(pipeEnds) != 0) throw std::runtime_error("pipe failed");
        server = fork();
        if (server == 0) {
            close(pipeEnds[0]);
            const std::string fd = std::to_string(pipeEnds[1]);
            execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-nolisten", "tcp", "-screen", "0", "320x240x24",
                   static_cast<char*>(nullptr));
            _exit(127);
        }
        close(pipeEnds[1]);
        // The server writes its display number once it accepts connections.
        char digits[16] = {};
        const ssize_t n = server > 0 ? read(pipeEnds[0], digits, sizeof digits - 1) : -1;
        close(pipeEnds[0]);
        if (n <= 0) {
            stop();
            throw std::runtime_error("Xvfb did not start");
        }
        name = ":" + std::to_string(std::stoi(digits));
    }
    ~PrivateDisplay() { stop(); }
    PrivateDisplay(const PrivateDisplay&) = delete;
    PrivateDisplay& operator=(const PrivateDisplay&) = delete;

    std::string name;

private:
    void stop() {
        if (server <= 0) return;
        kill(server, SIGTERM);
        waitpid(server, nullptr, 0);
        server = 0;
    }

    pid_t server = 0;
};

}  // namespace test
