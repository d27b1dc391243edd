#pragma once

// Frames filled by the tests, in device memory as the solver's frames are: three N x N float
// planes, vorticity, then u and v.

#include <gtest/gtest.h>

#include <cuda_runtime_api.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <functional>
#include <memory>
#include <vector>

#include "mirel/solver.hpp"

namespace test {

struct HostFrame {
    int n = 0;
    std::vector<float> planes;  // 3 * n * n
    bool velocity = false;
    float mean = 0.0f, std = 0.0f, maxVorticity = 0.0f, maxSpeed = 0.0f;

    float at(int plane, int x, int y) const {
        return planes[static_cast<std::size_t>(plane) * n * n + static_cast<std::size_t>(y) * n + x];
    }
};

using Field = std::function<double(int x, int y)>;

// A frame from the vorticity and, when given, the velocity fields at the texels, with its
// moments as the solver measures them: mean and standard deviation of vorticity, the largest
// |vorticity| and the largest speed.
inline HostFrame hostFrame(int n, const Field& omega, const Field& u = nullptr, const Field& v = nullptr) {
    HostFrame f;
    f.n = n;
    f.velocity = u != nullptr;
    f.planes.assign(3 * static_cast<std::size_t>(n) * n, 0.0f);
    double sum = 0.0, squares = 0.0;
    for (int y = 0; y < n; ++y) {
        for (int x = 0; x < n; ++x) {
            const std::size_t i = static_cast<std::size_t>(y) * n + x;
            const float w = static_cast<float>(omega(x, y));
            f.planes[i] = w;
            sum += w;
            squares += static_cast<double>(w) * w;
            f.maxVorticity = std::max(f.maxVorticity, std::fabs(w));
            if (f.velocity) {
                const float a = static_cast<float>(u(x, y)), b = static_cast<float>(v(x, y));
                f.planes[i + static_cast<std::size_t>(n) * n] = a;
                f.planes[i + 2 * static_cast<std::size_t>(n) * n] = b;
                f.maxSpeed = std::max(f.maxSpeed, std::hypot(a, b));
            }
        }
    }
    const double count = static_cast<double>(n) * n;
    f.mean = static_cast<float>(sum / count);
    f.std = static_cast<float>(std::sqrt(std::max(0.0, squares / count - (sum / count) * (sum / count))));
    return f;
}

// The frame in device memory, freed with the last holder.
inline std::shared_ptr<mirel::Frame> deviceFrame(const HostFrame& h) {
    void* data = nullptr;
    const std::size_t bytes = h.planes.size() * sizeof(float);
    EXPECT_EQ(cudaMalloc(&data, bytes), cudaSuccess);
    EXPECT_EQ(cudaMemcpy(data, h.planes.data(), bytes, cudaMemcpyHostToDevice), cudaSuccess);
    // A pageable copy may return before its data has landed.
    EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);
    auto frame = std::make_shared<mirel::Frame>();
    frame->storage = std::shared_ptr<void>(data, [](void* p) { cudaFree(p); });
    frame->grid_size = h.n;
    frame->max_vorticity = h.maxVorticity;
    frame->mean_vorticity = h.mean;
    frame->std_vorticity = h.std;
    frame->max_speed = h.maxSpeed;
    frame->velocity = h.velocity;
    return frame;
}

// Every texel the same vorticity; its moments are set by the caller.
inline HostFrame uniformFrame(int n, double omega) {
    return hostFrame(n, [omega](int, int) { return omega; });
}

}  // namespace test
