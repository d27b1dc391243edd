#pragma once

#include <unistd.h>

#include <functional>
#include <linux/capability.h>
#include <string>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>

namespace test {

// Gives up, for this process and every program it starts, the capabilities with which root
// passes over permission bits; a process of another user has none to give up. False when they
// stay.
inline bool obeyPermissionBits() {
    if (geteuid() != 0) return true;
    const int overrides[] = {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_FOWNER};
    // Out of the bounding set, so that a program started later does not get them back.
    for (const int capability : overrides)
        if (prctl(PR_CAPBSET_DROP, capability, 0, 0, 0) != 0) return false;
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct sets[_LINUX_CAPABILITY_U32S_3] = {};
    if (syscall(SYS_capget, &header, sets) != 0) return false;
    for (const int capability : overrides) {
        const unsigned bit = 1u << (capability % 32);
        __user_cap_data_struct& set = sets[capability / 32];
        set.effective &= ~bit;
        set.permitted &= ~bit;
        set.inheritable &= ~bit;
    }
    return syscall(SYS_capset, &header, sets) == 0;
}

// Runs work in a child process, whose changes to itself (its capabilities, its mounts) end with
// it; returns the text work returned, or says why there is none.
inline std::string inChild(const std::function<std::string()>& work) {
    int channel[2];
    if (pipe(channel) != 0) return "(no pipe to a child)";
    const pid_t child = fork();
    if (child < 0) return "(no child process)";
    if (child == 0) {
        close(channel[0]);
        const std::string text = work();
        for (std::size_t at = 0; at < text.size();) {
            const ssize_t written = write(channel[1], text.data() + at, text.size() - at);
            if (written <= 0) _exit(1);
            at += static_cast<std::size_t>(written);
        }
        _exit(0);
    }
    close(channel[1]);
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = read(channel[0], buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<std::size_t>(n));
    close(channel[0]);
    int status = 0;
    waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) text += "(the child process failed)";
    return text;
}

// Runs work in a child process that obeys permission bits as an unprivileged user does, so that
// a test means the same whether it runs as root or not.
inline std::string unprivileged(const std::function<std::string()>& work) {
    return inChild([&] { return obeyPermissionBits() ? work() : std::string("(root's capabilities stayed)"); });
}

}  // namespace test
