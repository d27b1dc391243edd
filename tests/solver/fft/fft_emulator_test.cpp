// How mirel::FFT reports a device it cannot select, with failures the emulator injects.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "solver/cuda/cuda_check.hpp"
#include "solver/cuda/cuda_loader.hpp"
#include "solver/fft/fft.hpp"
#include "support/faults.hpp"

namespace {

std::string constructionFailure(cudaStream_t stream) {
    try {
        mirel::FFT fft(24, true, 16, 8, stream);
    } catch (const std::runtime_error& error) {
        return error.what();
    }
    return "(constructed)";
}

class FFTDevice : public test::FaultTest<::testing::Test> {
protected:
    static void SetUpTestSuite() { mirel::initializeCudaLoader(); }
    void TearDown() override {
        FaultTest::TearDown();
        cudaCheck(cudaSetDevice(0), "cudaSetDevice(0)");
    }
};

TEST_F(FFTDevice, RuntimeWithoutCurrentDevice) {
    emu::failCall("cudaGetDevice", 1, cudaErrorNoDevice);
    EXPECT_EQ(constructionFailure(nullptr), test::failure("cudaGetDevice(&dev)", cudaErrorNoDevice));
    EXPECT_EQ(constructionFailure(nullptr), "(constructed)") << "the failure outlived its call";
}

TEST_F(FFTDevice, DriverWithoutTheRuntimesDevice) {
    // The stand-in driver counts the devices the environment names; the runtime gets one more.
    int devices = 0;
    cudaCheck(cudaGetDeviceCount(&devices), "cudaGetDeviceCount(&devices)");
    emu::setDeviceCount(devices + 1);
    cudaCheck(cudaSetDevice(devices), "cudaSetDevice(devices)");
    EXPECT_EQ(constructionFailure(nullptr), "Cannot select CUDA driver device.");
}

}  // namespace
