// qm_initialize in fresh processes whose libraries are missing: these need no GPU.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <string>

#include "support/process.hpp"
#include "support/temp_folder.hpp"

namespace {

namespace fs = std::filesystem;

const std::string probe = QM_PROBE;

TEST(InitializeProcess, MissingBuiltinsFailEveryCall) {
    // A copy of NVRTC in a folder of its own has no builtins beside it.
    const test::TempFolder scratch{"quellmar-nvrtc"};
    const fs::path& folder = scratch.root;
    fs::copy_file(fs::canonical(QM_NVRTC_LIBRARY), folder / QM_NVRTC_SONAME, fs::copy_options::overwrite_existing);
    const std::string reply = test::output("LD_LIBRARY_PATH=" + folder.string() + " " + probe + " 2");
    const std::string line = "{\"error\":\"Cannot load matching CUDA NVRTC builtins: " + folder.string() +
                             "/libnvrtc-builtins.so." QM_NVRTC_VERSION
                             ": cannot open shared object file: No such file or directory\"}\n";
    EXPECT_EQ(reply, line + line);
}

TEST(InitializeProcess, MissingDriverIsReported) {
    if (test::output("/sbin/ldconfig -p").find("libcuda.so.1 ") != std::string::npos)
        GTEST_SKIP() << "this machine has an NVIDIA driver";
    EXPECT_EQ(test::output("env -u LD_LIBRARY_PATH " + probe),
              "{\"error\":\"Cannot load NVIDIA driver libcuda.so.1: libcuda.so.1: cannot open shared object "
              "file: No such file or directory\"}\n");
}

}  // namespace
