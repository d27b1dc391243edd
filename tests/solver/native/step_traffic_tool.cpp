// Prints what one step moves, for the GPU check: step-traffic N INTEGRATOR OPERATOR gives
// {"kernel_bytes":...,"fft_bytes":...,"bytes":...,"launches":...} with the transforms' two
// kernels each among the launches.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "mirel/solver.hpp"
#include "solver/native/step_traffic.hpp"

namespace {

int indexOf(const char* const* names, int count, const char* name) {
    for (int i = 0; i < count; ++i)
        if (std::strcmp(names[i], name) == 0) return i;
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) return 2;
    const int n = std::atoi(argv[1]);
    const int method = indexOf(mirel::methods, 3, argv[2]);
    const int form = indexOf(mirel::forms, 2, argv[3]);
    if (n < 16 || method < 0 || form < 0) return 2;
    const mirel::StepTraffic t = mirel::stepTraffic(n, static_cast<std::uint32_t>(method), static_cast<std::uint32_t>(form));
    std::printf("{\"kernel_bytes\":%llu,\"fft_bytes\":%llu,\"bytes\":%llu,\"launches\":%u}\n",
                static_cast<unsigned long long>(t.kernelBytes), static_cast<unsigned long long>(t.fftBytes),
                static_cast<unsigned long long>(t.kernelBytes + t.fftBytes), t.kernels + 2 * t.transforms);
    return 0;
}
