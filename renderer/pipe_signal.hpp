#pragma once

// A write into a pipe or socket whose reader has gone raises SIGPIPE, whose default action ends
// the host.

#include <pthread.h>

#include <cerrno>
#include <csignal>
#include <ctime>

namespace mirel {

// While it lives, a write on this thread into a pipe or socket whose reader has gone fails with
// EPIPE instead of ending the process with SIGPIPE. The host's disposition of the signal is never
// touched: it is only blocked on this thread, and the one that such a write raised is taken off
// again before the thread's mask is restored, unless one was pending already.
class PipeSignalHeld {
public:
    PipeSignalHeld() {
        sigemptyset(&pipeSignal);
        sigaddset(&pipeSignal, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipeSignal, &saved);
        sigset_t pending;
        sigpending(&pending);
        pendingBefore = sigismember(&pending, SIGPIPE) == 1;
    }
    ~PipeSignalHeld() {
        const int kept = errno;
        const timespec now{0, 0};
        if (raised && !pendingBefore)
            while (sigtimedwait(&pipeSignal, nullptr, &now) < 0 && errno == EINTR) {
            }
        pthread_sigmask(SIG_SETMASK, &saved, nullptr);
        errno = kept;
    }
    PipeSignalHeld(const PipeSignalHeld&) = delete;
    PipeSignalHeld& operator=(const PipeSignalHeld&) = delete;

    // A write failed with EPIPE, or a call that writes without saying why it failed has failed.
    void brokenPipe() { raised = true; }

private:
    sigset_t pipeSignal;
    sigset_t saved;
    bool pendingBefore = false;
    bool raised = false;
};

}  // namespace mirel
