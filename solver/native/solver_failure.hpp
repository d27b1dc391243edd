#pragma once

#include <utility>

namespace mirel {

inline constexpr const char* failedMessage =
    "The flow became non-finite or a GPU operation failed. Reset to recover.";

// Runs the GPU work of an operation; any exception marks the solver failed on its way out.
template <typename Work>
auto guarded(bool& failed, Work&& work) -> decltype(work()) {
    try {
        return std::forward<Work>(work)();
    } catch (...) {
        failed = true;
        throw;
    }
}

}  // namespace mirel
