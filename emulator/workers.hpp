#pragma once

#include <cstdint>
#include <functional>

namespace emu::detail {

// Runs task(0) .. task(count - 1), spread over the calling thread and up to `threads` - 1
// pooled OS threads, and returns when all have run. The caller takes part, so a launch
// completes even when every pooled thread is busy with launches from other host threads.
void parallelFor(std::uint64_t count, int threads, const std::function<void(std::uint64_t)>& task);

}  // namespace emu::detail
