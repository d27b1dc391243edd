#include "renderer/gl/x_errors.hpp"

#include <mutex>
#include <set>

namespace mirel {
namespace {

using Handler = int (*)(::Display*, XErrorEvent*);

struct Ignored {
    std::mutex mutex;
    // A multiset: a connection closed on one thread may be opened at the same address on another
    // before the first one is forgotten.
    std::multiset<::Display*> connections;
    Handler previous = nullptr;
};

Ignored& ignored() {
    static Ignored instance;
    return instance;
}

int handle(::Display* connection, XErrorEvent* error) {
    Ignored& state = ignored();
    Handler previous;
    {
        std::lock_guard lock(state.mutex);
        if (state.connections.count(connection) != 0) return 0;
        previous = state.previous;
    }
    return previous != nullptr ? previous(connection, error) : 0;
}

}  // namespace

void ignoreErrorsOn(::Display* connection) {
    Ignored& state = ignored();
    static std::once_flag installed;
    std::call_once(installed, [&] {
        const Handler previous = XSetErrorHandler(handle);
        std::lock_guard lock(state.mutex);
        state.previous = previous;
    });
    std::lock_guard lock(state.mutex);
    state.connections.insert(connection);
}

void forgetErrorsOn(::Display* connection) {
    Ignored& state = ignored();
    std::lock_guard lock(state.mutex);
    const auto it = state.connections.find(connection);
    if (it != state.connections.end()) state.connections.erase(it);
}

}  // namespace mirel
