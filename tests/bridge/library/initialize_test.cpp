// The capability document and the boundary rules of qm_initialize, on a working device.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

#include <nlohmann/json.hpp>

#include "quellmar/quellmar.h"
#include "solver/cuda/cuda_check.hpp"

namespace {

using nlohmann::json;

std::string initialize(const char* resources = nullptr) {
    char* reply = qm_initialize(resources);
    if (reply == nullptr) return "(null)";
    std::string text = reply;
    qm_string_free(reply);
    return text;
}

class Initialize : public ::testing::Test {
protected:
    void TearDown() override { unsetenv("QUELLMAR_DEVICE"); }
};

std::string expectedDocument() {
    cudaDeviceProp prop;
    std::memset(&prop, 0, sizeof prop);
    cudaCheck(cudaGetDeviceProperties(&prop, 0), "cudaGetDeviceProperties");
    std::size_t available = 0;
    std::size_t total = 0;
    cudaCheck(cudaMemGetInfo(&available, &total), "cudaMemGetInfo");
    int runtime = 0;
    int driver = 0;
    cudaCheck(cudaRuntimeGetVersion(&runtime), "cudaRuntimeGetVersion");
    cudaCheck(cudaDriverGetVersion(&driver), "cudaDriverGetVersion");
    const unsigned long long physical =
        static_cast<unsigned long long>(sysconf(_SC_PHYS_PAGES)) * static_cast<unsigned long long>(sysconf(_SC_PAGESIZE));
    const std::string capability = std::to_string(prop.major) + "." + std::to_string(prop.minor);
    return std::string("{\"abi_version\":1,\"available_memory_bytes\":") + std::to_string(available) +
           ",\"backend\":\"CUDA / VkFFT\",\"capabilities\":{\"drag\":false,\"forcing\":false,\"headless\":true,"
           "\"native_rendering\":true,\"vortex_injection\":false},\"compute_capability\":\"" +
           capability + "\",\"cuda_driver_version\":" + std::to_string(driver) +
           ",\"cuda_runtime_version\":" + std::to_string(runtime) +
           ",\"defaults\":{\"cfl\":3.0,\"fixed_dt\":null,\"integrator\":\"etdrk4\",\"k0\":4,\"operator\":\"stress\","
           "\"padded_resolution\":1536,\"resolution\":1024,\"reynolds\":27898.36614974335,\"seed\":\"2\","
           "\"start_spectrum\":\"PAO\",\"viscosity\":3.5844394005835056e-05},\"device_index\":0,\"gpu\":\"" +
           prop.name + "\",\"gpu_memory_bytes\":" + std::to_string(prop.totalGlobalMem) +
           ",\"integrators\":[\"imexRK3\",\"ifHeunRK3\",\"etdrk4\",\"CNAB2\"],\"os\":\"Linux\","
           "\"physical_memory_bytes\":" +
           std::to_string(physical) + ",\"precision\":\"float32\"}";
}

// A document without the digits of "available_memory_bytes", and those digits.
struct Split {
    std::string rest;
    std::string available;
};

Split splitAvailable(const std::string& document) {
    const std::string key = "\"available_memory_bytes\":";
    const std::size_t at = document.find(key);
    if (at == std::string::npos) return {document, ""};
    const std::size_t begin = at + key.size();
    const std::size_t end = std::min(document.find_first_not_of("0123456789", begin), document.size());
    return {document.substr(0, begin) + document.substr(end), document.substr(begin, end - begin)};
}

// Free device memory changes while other processes share the GPU, so that value need only be
// a plausible amount; every other byte is exact.
void expectDocument(const std::string& document) {
    const Split actual = splitAvailable(document);
    EXPECT_EQ(actual.rest, splitAvailable(expectedDocument()).rest);
    ASSERT_FALSE(actual.available.empty()) << document;
    const unsigned long long available = std::stoull(actual.available);
    EXPECT_GT(available, 0u);
    EXPECT_LE(available, json::parse(document).at("gpu_memory_bytes").get<unsigned long long>());
}

TEST_F(Initialize, DocumentIsCompactSortedAndExact) {
    const std::string document = initialize("/opt/quellmar/resources");
    expectDocument(document);
    EXPECT_EQ(document.rfind("{\"abi_version\":1,", 0), 0u);
}

TEST_F(Initialize, NullResourcesGiveTheSameDocument) { expectDocument(initialize(nullptr)); }

int deviceCount() {
    int count = 0;
    return cudaGetDeviceCount(&count) == cudaSuccess ? count : 0;
}

TEST_F(Initialize, DeviceIndexFromTheEnvironment) {
    struct Case {
        const char* value;  // null: unset
        int index;          // -1: refused
    };
    const Case cases[] = {{nullptr, 0}, {"0", 0}, {"1", 1}, {"007", 7}, {"", -1}, {"-1", -1}, {"+1", -1}, {"1a", -1}, {" 1", -1}, {"1 ", -1}, {"0x1", -1}};
    for (const Case& test : cases) {
        SCOPED_TRACE(test.value != nullptr ? std::string("\"") + test.value + "\"" : "unset");
        if (test.index >= deviceCount()) continue;  // needs that many devices
        if (test.value != nullptr)
            setenv("QUELLMAR_DEVICE", test.value, 1);
        else
            unsetenv("QUELLMAR_DEVICE");
        const std::string reply = initialize();
        if (test.index < 0) {
            EXPECT_EQ(reply, "{\"error\":\"QUELLMAR_DEVICE must be a nonnegative device index.\"}");
        } else {
            EXPECT_EQ(json::parse(reply).at("device_index"), test.index) << reply;
        }
    }
}

TEST_F(Initialize, IndexBeyondIntIsTheStandardLibrarysError) {
    setenv("QUELLMAR_DEVICE", "2147483648", 1);
    EXPECT_EQ(initialize(), "{\"error\":\"stoi\"}");
}

TEST_F(Initialize, MissingDeviceFailsTheRuntimeCallAndKeepsTheIndex) {
    const int count = deviceCount();
    setenv("QUELLMAR_DEVICE", std::to_string(count).c_str(), 1);
    EXPECT_EQ(initialize(), std::string("{\"error\":\"cudaSetDevice(deviceId): ") +
                                cudaGetErrorString(cudaErrorInvalidDevice) + "\"}");
}

TEST_F(Initialize, EveryCallReturnsItsOwnString) {
    char* first = qm_initialize(nullptr);
    char* second = qm_initialize(nullptr);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(first, second);
    qm_string_free(first);
    qm_string_free(second);
    qm_string_free(nullptr);
}

}  // namespace
