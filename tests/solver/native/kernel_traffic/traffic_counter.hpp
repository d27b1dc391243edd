#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <quellmar_emulator/control.hpp>

namespace test {

// Counts, while it lives, the kernel launches that run and the device memory they move: for each
// launch the distinct bytes it reads before writing them and the distinct bytes it writes. Only
// code built with the instrumentation of loads and stores is seen (the solver's copy in this
// test); one counter at a time.
class TrafficCounter final : public emu::LaunchObserver {
public:
    TrafficCounter();
    ~TrafficCounter();
    TrafficCounter(const TrafficCounter&) = delete;
    TrafficCounter& operator=(const TrafficCounter&) = delete;

    unsigned launches() const { return launches_; }
    std::uint64_t bytes() const { return bytes_; }

    void begin(const emu::DeviceRange* allocations, std::size_t count) override;
    void end() override;

private:
    struct Launch;
    std::unique_ptr<Launch> launch_;
    unsigned launches_ = 0;
    std::uint64_t bytes_ = 0;
};

}  // namespace test
