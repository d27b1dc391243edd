#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

#include "solver/cuda/cuda_loader.hpp"
#include "support/temp_folder.hpp"

namespace {

namespace fs = std::filesystem;

struct MapsCase {
    const char* name;
    const char* maps;
    const char* folder;  // null: no WSL driver
};

const MapsCase mapsCases[] = {
    {"outside WSL",
     "7f00-7f10 r-xp 00000000 08:01 12 /usr/lib/x86_64-linux-gnu/libcuda.so.1\n"
     "7f10-7f20 r-xp 00000000 08:01 13 /usr/lib/x86_64-linux-gnu/libc.so.6\n",
     nullptr},
    {"WSL driver store",
     "7f00-7f10 r-xp 00000000 08:01 12 /usr/lib/x86_64-linux-gnu/libc.so.6\n"
     "7f10-7f20 r-xp 00000000 00:2e 77 /usr/lib/wsl/drivers/nv_dispi.inf_amd64_abc/libcuda.so.1.1\n",
     "/usr/lib/wsl/drivers/nv_dispi.inf_amd64_abc"},
    {"only the first match counts",
     "7f10-7f20 r-xp 00000000 00:2e 77 /usr/lib/wsl/drivers/first/libcuda.so.1.1\n"
     "7f20-7f30 r-xp 00000000 00:2e 78 /usr/lib/wsl/drivers/second/libcuda.so.1.1\n",
     "/usr/lib/wsl/drivers/first"},
    {"store without libcuda is ignored",
     "7f10-7f20 r-xp 00000000 00:2e 77 /usr/lib/wsl/drivers/other/libdxcore.so\n"
     "7f20-7f30 r-xp 00000000 00:2e 78 /usr/lib/wsl/drivers/nv/libcuda.so\n",
     "/usr/lib/wsl/drivers/nv"},
    {"libcuda before the store on the line does not count",
     "7f10-7f20 r-xp 00000000 00:2e 77 /opt/libcuda.so/usr/lib/wsl/drivers/x/libdxcore.so\n", nullptr},
    {"empty maps", "", nullptr},
};

TEST(WslDriverFolder, FindsTheFolderOfTheFirstMappedDriver) {
    for (const MapsCase& test : mapsCases) {
        SCOPED_TRACE(test.name);
        std::istringstream maps(test.maps);
        const auto folder = mirel::wslDriverFolder(maps);
        if (test.folder == nullptr) {
            EXPECT_FALSE(folder.has_value());
        } else {
            ASSERT_TRUE(folder.has_value());
            EXPECT_EQ(folder->string(), test.folder);
        }
    }
}

class WslCompanions : public ::testing::Test {
protected:
    const test::TempFolder scratch{"quellmar-wsl"};
    const fs::path& folder = scratch.root;
};

TEST_F(WslCompanions, AbsentLibrariesAreSkipped) { EXPECT_NO_THROW(mirel::loadWslCompanions(folder)); }

TEST_F(WslCompanions, PresentLibraryThatCannotLoadFails) {
    std::ofstream(folder / "libnvidia-ptxjitcompiler.so.1") << "not a shared object";
    try {
        mirel::loadWslCompanions(folder);
        FAIL() << "loaded a file that is no library";
    } catch (const std::runtime_error& error) {
        const std::string message = error.what();
        const std::string prefix = "Cannot load WSL CUDA dependency: ";
        EXPECT_EQ(message.substr(0, prefix.size()), prefix);
        EXPECT_NE(message.find((folder / "libnvidia-ptxjitcompiler.so.1").string()), std::string::npos) << message;
    }
}

}  // namespace
