// The stand-in driver is loaded the way the product loads libcuda.so.1: by name, at run time.

#include <gtest/gtest.h>

#include <cuda.h>
#include <dlfcn.h>

#include <cstdlib>
#include <string>

namespace {

class Driver : public ::testing::Test {
 protected:
  void SetUp() override {
    library_ = dlopen("libcuda.so.1", RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library_, nullptr) << dlerror();
    ASSERT_NE(dlsym(library_, "qmEmulatorDriverLaunchCount"), nullptr)
        << "libcuda.so.1 on the library path is not the emulator's";
  }
  void TearDown() override {
    unsetenv("QM_EMULATOR_CUINIT_ERROR");
    unsetenv("QM_EMULATOR_MODULE_ERROR");
    unsetenv("QM_EMULATOR_DEVICES");
    if (library_ != nullptr) dlclose(library_);
  }

  template <typename Function>
  Function* symbol(const char* name) {
    return reinterpret_cast<Function*>(dlsym(library_, name));
  }

  CUresult init() { return symbol<decltype(cuInit)>("cuInit")(0); }

  CUresult attribute(int* value, CUdevice_attribute attribute, CUdevice device) {
    return symbol<decltype(cuDeviceGetAttribute)>("cuDeviceGetAttribute")(value, attribute, device);
  }

  CUresult load(CUmodule* module, const void* image) {
    return symbol<decltype(cuModuleLoadDataEx)>("cuModuleLoadDataEx")(module, image, 0, nullptr, nullptr);
  }

  CUresult function(CUfunction* f, CUmodule module, const char* name) {
    return symbol<decltype(cuModuleGetFunction)>("cuModuleGetFunction")(f, module, name);
  }

  CUresult launch(CUfunction f, unsigned grid, unsigned block) {
    return symbol<decltype(cuLaunchKernel)>("cuLaunchKernel")(f, grid, 1, 1, block, 1, 1, 0, nullptr,
                                                              nullptr, nullptr);
  }

  unsigned long long launches() {
    return symbol<unsigned long long()>("qmEmulatorDriverLaunchCount")();
  }

  void* library_ = nullptr;
  static constexpr char kImage[] = "// ptx";
};

TEST_F(Driver, ExportsTheEntryPointsUnderTheirDriverNames) {
  for (const char* name : {"cuInit", "cuGetErrorString", "cuDeviceGet", "cuDeviceGetAttribute",
                           "cuModuleLoadDataEx", "cuModuleGetFunction", "cuFuncSetAttribute",
                           "cuLaunchKernel", "cuModuleUnload", "cuModuleGetGlobal_v2",
                           "cuMemcpyHtoD_v2", "cuGetExportTable"}) {
    EXPECT_NE(dlsym(library_, name), nullptr) << name;
  }
}

TEST_F(Driver, CallsBeforeInitialisationFail) {
  CUdevice device;
  int value;
  CUmodule module;
  EXPECT_EQ(symbol<decltype(cuDeviceGet)>("cuDeviceGet")(&device, 0), CUDA_ERROR_NOT_INITIALIZED);
  EXPECT_EQ(attribute(&value, CU_DEVICE_ATTRIBUTE_WARP_SIZE, 0), CUDA_ERROR_NOT_INITIALIZED);
  EXPECT_EQ(load(&module, kImage), CUDA_ERROR_NOT_INITIALIZED);
}

TEST_F(Driver, InitialisationObeysTheEnvironment) {
  setenv("QM_EMULATOR_CUINIT_ERROR", "100", 1);
  EXPECT_EQ(init(), CUDA_ERROR_NO_DEVICE);
  setenv("QM_EMULATOR_CUINIT_ERROR", "3", 1);
  EXPECT_EQ(init(), CUDA_ERROR_NOT_INITIALIZED);
  unsetenv("QM_EMULATOR_CUINIT_ERROR");
  setenv("QM_EMULATOR_DEVICES", "0", 1);
  EXPECT_EQ(init(), CUDA_ERROR_NO_DEVICE);
  unsetenv("QM_EMULATOR_DEVICES");
  EXPECT_EQ(init(), CUDA_SUCCESS);
  CUdevice device = -1;
  EXPECT_EQ(symbol<decltype(cuDeviceGet)>("cuDeviceGet")(&device, 0), CUDA_SUCCESS);
  EXPECT_EQ(device, 0);
  EXPECT_EQ(symbol<decltype(cuDeviceGet)>("cuDeviceGet")(&device, 1), CUDA_ERROR_INVALID_DEVICE);
}

TEST_F(Driver, ErrorStringsMatchTheDriver) {
  const auto errorString = symbol<decltype(cuGetErrorString)>("cuGetErrorString");
  struct Case {
    CUresult code;
    const char* text;
  };
  for (const Case c : {Case{CUDA_SUCCESS, "no error"}, Case{CUDA_ERROR_INVALID_VALUE, "invalid argument"},
                       Case{CUDA_ERROR_NOT_INITIALIZED, "initialization error"},
                       Case{CUDA_ERROR_NO_DEVICE, "no CUDA-capable device is detected"},
                       Case{CUDA_ERROR_INVALID_HANDLE, "invalid resource handle"},
                       Case{CUDA_ERROR_INVALID_PTX, "a PTX JIT compilation failed"},
                       Case{CUDA_ERROR_UNKNOWN, "unknown error"}}) {
    const char* text = nullptr;
    EXPECT_EQ(errorString(c.code, &text), CUDA_SUCCESS) << c.code;
    EXPECT_STREQ(text, c.text);
  }
  const char* text = "untouched";
  EXPECT_EQ(errorString(static_cast<CUresult>(1000), &text), CUDA_ERROR_INVALID_VALUE);
  EXPECT_EQ(text, nullptr);
}

TEST_F(Driver, AttributesDescribeAComputeCapability90Device) {
  ASSERT_EQ(init(), CUDA_SUCCESS);
  struct Case {
    CUdevice_attribute attribute;
    int value;
  };
  const Case cases[] = {
      {CU_DEVICE_ATTRIBUTE_MAX_THREADS_PER_BLOCK, 1024},
      {CU_DEVICE_ATTRIBUTE_MAX_BLOCK_DIM_X, 1024},
      {CU_DEVICE_ATTRIBUTE_MAX_BLOCK_DIM_Y, 1024},
      {CU_DEVICE_ATTRIBUTE_MAX_BLOCK_DIM_Z, 64},
      {CU_DEVICE_ATTRIBUTE_MAX_GRID_DIM_X, 2147483647},
      {CU_DEVICE_ATTRIBUTE_MAX_GRID_DIM_Y, 65535},
      {CU_DEVICE_ATTRIBUTE_MAX_GRID_DIM_Z, 65535},
      {CU_DEVICE_ATTRIBUTE_MAX_SHARED_MEMORY_PER_BLOCK, 49152},
      {CU_DEVICE_ATTRIBUTE_MAX_SHARED_MEMORY_PER_BLOCK_OPTIN, 232448},
      {CU_DEVICE_ATTRIBUTE_WARP_SIZE, 32},
      {CU_DEVICE_ATTRIBUTE_MULTIPROCESSOR_COUNT, 132},
      {CU_DEVICE_ATTRIBUTE_MAX_REGISTERS_PER_BLOCK, 65536},
      {CU_DEVICE_ATTRIBUTE_COMPUTE_CAPABILITY_MAJOR, 9},
      {CU_DEVICE_ATTRIBUTE_COMPUTE_CAPABILITY_MINOR, 0},
  };
  for (const Case& c : cases) {
    int value = -1;
    EXPECT_EQ(attribute(&value, c.attribute, 0), CUDA_SUCCESS) << c.attribute;
    EXPECT_EQ(value, c.value) << c.attribute;
  }
  int value = 0;
  EXPECT_EQ(attribute(&value, CU_DEVICE_ATTRIBUTE_L2_CACHE_SIZE, 0), CUDA_SUCCESS);
  EXPECT_GT(value, 0);
  EXPECT_EQ(attribute(&value, static_cast<CUdevice_attribute>(200), 0), CUDA_ERROR_INVALID_VALUE);
  EXPECT_EQ(attribute(&value, CU_DEVICE_ATTRIBUTE_WARP_SIZE, 1), CUDA_ERROR_INVALID_DEVICE);
}

TEST_F(Driver, ModulesHandOutFunctionsUntilUnloaded) {
  ASSERT_EQ(init(), CUDA_SUCCESS);
  CUmodule module = nullptr, other = nullptr;
  EXPECT_EQ(load(&module, nullptr), CUDA_ERROR_INVALID_VALUE);
  ASSERT_EQ(load(&module, kImage), CUDA_SUCCESS);
  ASSERT_EQ(load(&other, kImage), CUDA_SUCCESS);
  EXPECT_NE(module, other);

  CUfunction forward = nullptr, again = nullptr, inverse = nullptr;
  ASSERT_EQ(function(&forward, module, "forward"), CUDA_SUCCESS);
  ASSERT_EQ(function(&again, module, "forward"), CUDA_SUCCESS);
  ASSERT_EQ(function(&inverse, module, "inverse"), CUDA_SUCCESS);
  EXPECT_EQ(forward, again);
  EXPECT_NE(forward, inverse);
  EXPECT_EQ(symbol<decltype(cuFuncSetAttribute)>("cuFuncSetAttribute")(
                forward, CU_FUNC_ATTRIBUTE_MAX_DYNAMIC_SHARED_SIZE_BYTES, 65536),
            CUDA_SUCCESS);

  const unsigned long long before = launches();
  EXPECT_EQ(launch(forward, 8, 256), CUDA_SUCCESS);
  EXPECT_EQ(launch(inverse, 1, 1024), CUDA_SUCCESS);
  EXPECT_EQ(launch(inverse, 1, 1025), CUDA_ERROR_INVALID_VALUE);
  EXPECT_EQ(launch(inverse, 0, 1), CUDA_ERROR_INVALID_VALUE);
  EXPECT_EQ(launches(), before + 2);

  const auto unload = symbol<decltype(cuModuleUnload)>("cuModuleUnload");
  EXPECT_EQ(unload(module), CUDA_SUCCESS);
  EXPECT_EQ(unload(module), CUDA_ERROR_INVALID_HANDLE);
  EXPECT_EQ(function(&forward, module, "forward"), CUDA_ERROR_INVALID_HANDLE);
  EXPECT_EQ(unload(other), CUDA_SUCCESS);
}

TEST_F(Driver, ModuleLoadingFailsOnRequest) {
  ASSERT_EQ(init(), CUDA_SUCCESS);
  setenv("QM_EMULATOR_MODULE_ERROR", "218", 1);
  CUmodule module = nullptr;
  EXPECT_EQ(load(&module, kImage), CUDA_ERROR_INVALID_PTX);
  EXPECT_EQ(module, nullptr);
}

TEST_F(Driver, GlobalsTakeCopiesFromTheHost) {
  ASSERT_EQ(init(), CUDA_SUCCESS);
  CUmodule module = nullptr;
  ASSERT_EQ(load(&module, kImage), CUDA_SUCCESS);
  CUdeviceptr global = 0;
  size_t bytes = 0;
  ASSERT_EQ(symbol<decltype(cuModuleGetGlobal_v2)>("cuModuleGetGlobal_v2")(&global, &bytes, module, "table"),
            CUDA_SUCCESS);
  ASSERT_NE(global, 0u);
  ASSERT_GE(bytes, sizeof(double) * 4);
  const double table[4] = {1, 2, 3, 4};
  EXPECT_EQ(symbol<decltype(cuMemcpyHtoD_v2)>("cuMemcpyHtoD_v2")(global, table, sizeof table), CUDA_SUCCESS);
  const double* stored = reinterpret_cast<const double*>(global);
  EXPECT_EQ(std::vector<double>(stored, stored + 4), std::vector<double>(table, table + 4));
  EXPECT_EQ(symbol<decltype(cuModuleUnload)>("cuModuleUnload")(module), CUDA_SUCCESS);
}

TEST_F(Driver, TheKthCallFailsOnceAndDoesNothingElse) {
  const auto count = symbol<unsigned long long()>("qmEmulatorDriverCallCount");
  const auto fail = symbol<void(unsigned long long, CUresult)>("qmEmulatorDriverFailCall");
  const auto failed = symbol<const char*()>("qmEmulatorDriverFailedCall");
  ASSERT_NE(count, nullptr);
  ASSERT_NE(fail, nullptr);
  ASSERT_NE(failed, nullptr);
  ASSERT_EQ(init(), CUDA_SUCCESS);
  const auto deviceGet = symbol<decltype(cuDeviceGet)>("cuDeviceGet");
  const auto errorString = symbol<decltype(cuGetErrorString)>("cuGetErrorString");

  const unsigned long long before = count();
  fail(2, CUDA_ERROR_ILLEGAL_ADDRESS);
  CUmodule module = nullptr;
  CUdevice device = -1;
  const char* text = nullptr;
  EXPECT_EQ(load(&module, kImage), CUDA_SUCCESS);
  EXPECT_EQ(errorString(CUDA_ERROR_UNKNOWN, &text), CUDA_SUCCESS) << "an error text is not a counted call";
  EXPECT_EQ(failed(), nullptr);
  EXPECT_EQ(deviceGet(&device, 0), CUDA_ERROR_ILLEGAL_ADDRESS);
  EXPECT_EQ(device, -1);
  EXPECT_STREQ(failed(), "cuDeviceGet");
  EXPECT_EQ(deviceGet(&device, 0), CUDA_SUCCESS);
  EXPECT_EQ(symbol<decltype(cuModuleUnload)>("cuModuleUnload")(module), CUDA_SUCCESS);
  EXPECT_EQ(count() - before, 4u);

  fail(0, CUDA_ERROR_ILLEGAL_ADDRESS);
  EXPECT_EQ(failed(), nullptr) << "arming forgets the last failed call";
  EXPECT_EQ(init(), CUDA_SUCCESS) << "k = 0 arms nothing";
}

}  // namespace
