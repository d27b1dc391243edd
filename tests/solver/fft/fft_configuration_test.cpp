// The VkFFT record of a plan, which both builds construct and no device is needed to inspect.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "solver/fft/fft_configuration.hpp"

namespace {

struct Geometry {
    const char* name;
    int n;
    bool realToComplex;
    int rowPitch;
    int cutoff;
    int batch;
    int useLUT;
};

const Geometry geometries[] = {
    {"real, padded grid of N = 16", 24, true, 16, 8, 2, 0},
    {"real, padded grid of N = 18", 27, true, 16, 9, 1, 0},
    {"real, just below the table size", 767, true, 384, 0, 1, 0},
    {"real, at the table size", 768, true, 392, 256, 3, 1},
    {"real, padded grid of N = 1024", 1536, true, 776, 512, 1, 1},
    {"complex, at the table size", 768, false, 768, 0, 1, 0},
    {"complex, large with wide rows", 1536, false, 1544, 0, 4, 0},
    {"complex with a band", 27, false, 28, 9, 2, 0},
    {"complex, field stride beyond 32 bits", 65536, false, 65537, 0, 1, 0},
};

TEST(PlanConfiguration, SetsExactlyTheGeometryOfThePlan) {
    for (const Geometry& geometry : geometries) {
        SCOPED_TRACE(geometry.name);
        CUdevice device = 0;
        CUstream stream = nullptr;
        std::uint64_t bufferBytes = 0;
        // The backend's fields arrive set, everything else zero, padding included.
        VkFFTConfiguration record;
        std::memset(&record, 0, sizeof record);
        record.device = &device;
        record.stream = &stream;
        record.bufferSize = &bufferBytes;
        mirel::vkfft::configure(record, {geometry.n, geometry.realToComplex, geometry.rowPitch, geometry.cutoff},
                                geometry.batch);
        const std::uint64_t n = geometry.n;
        EXPECT_EQ(record.FFTdim, 2u);
        EXPECT_EQ(record.size[0], n);
        EXPECT_EQ(record.size[1], n);
        EXPECT_EQ(record.device, &device);
        EXPECT_EQ(record.stream, &stream);
        EXPECT_EQ(record.num_streams, 1u);
        EXPECT_EQ(record.bufferSize, &bufferBytes);
        EXPECT_EQ(record.numberBatches, static_cast<std::uint64_t>(geometry.batch));
        EXPECT_EQ(record.performR2C, geometry.realToComplex ? 1u : 0u);
        EXPECT_EQ(record.useLUT, geometry.useLUT);
        EXPECT_EQ(record.bufferStride[0], static_cast<std::uint64_t>(geometry.rowPitch));
        EXPECT_EQ(record.bufferStride[1], static_cast<std::uint64_t>(geometry.rowPitch) * n);
        const bool band = geometry.cutoff != 0;
        for (int axis = 0; axis < 2; ++axis) {
            EXPECT_EQ(record.performZeropadding[axis], band ? 1u : 0u);
            EXPECT_EQ(record.fft_zeropad_left[axis], band ? static_cast<std::uint64_t>(geometry.cutoff) : 0u);
            EXPECT_EQ(record.fft_zeropad_right[axis], band ? n - geometry.cutoff + 1 : 0u);
        }
        EXPECT_EQ(record.frequencyZeroPadding, band ? 1u : 0u);

        record.FFTdim = 0;
        record.size[0] = record.size[1] = 0;
        record.device = nullptr;
        record.stream = nullptr;
        record.num_streams = 0;
        record.bufferSize = nullptr;
        record.numberBatches = 0;
        record.performR2C = 0;
        record.useLUT = 0;
        record.bufferStride[0] = record.bufferStride[1] = 0;
        for (int axis = 0; axis < 2; ++axis)
            record.performZeropadding[axis] = record.fft_zeropad_left[axis] = record.fft_zeropad_right[axis] = 0;
        record.frequencyZeroPadding = 0;
        const auto* bytes = reinterpret_cast<const unsigned char*>(&record);
        std::size_t set = 0;
        for (std::size_t i = 0; i < sizeof record; ++i) set += bytes[i] != 0;
        EXPECT_EQ(set, 0u) << "bytes set beyond the plan's fields";
    }
}

TEST(PlanBufferBytes, ExceedsFourGiBWithoutOverflow) {
    // 1024 fields of the padded grid of N = 1024.
    EXPECT_EQ(mirel::planBufferBytes(1536, 776, 1024), 9764339712ull);
}

}  // namespace
