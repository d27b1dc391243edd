#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/temp_folder.hpp"

// The layers of the tree, from folder names and include lines alone. From the top: host, bridge,
// the renderer interface (renderer/*.hpp), solver, emulator; the renderer module (renderer/gl)
// stands beside bridge. No file includes upward or sideways, and the public headers under
// include/ are complete without the private ones.
namespace {

namespace fs = std::filesystem;

// Files under `from` never include a file under `to`; a folder may always include itself, so
// that an empty `from` means every other folder.
struct Forbidden {
    const char* from;
    const char* to;
    const char* why;
};

constexpr Forbidden forbidden[] = {
    {"solver/", "bridge/", "the solvers know nothing of the exported interface"},
    {"solver/", "renderer/gl/", "the solvers know nothing of the renderer module"},
    {"emulator/", "bridge/", "the emulator stands beneath everything"},
    {"emulator/", "renderer/gl/", "the emulator stands beneath everything"},
    {"emulator/", "solver/", "the emulator stands beneath everything"},
    {"renderer/gl/", "bridge/", "the renderer module meets the bridge only through the renderer interface"},
    {"", "host/", "host programs use the public header and are used by nothing"},
};

// Files under `from` include no file of the tree outside `within`.
struct Confined {
    const char* from;
    const char* within;
    const char* why;
};

constexpr Confined confined[] = {
    {"include/", "include/", "the public headers are installed without the private ones"},
};

// Where the builds look for an include, after the including file's own folder for a quoted one.
constexpr const char* includeRoots[] = {"", "include/", "emulator/include/", "emulator/", "tests/"};

constexpr const char* sourceFolders[] = {"bridge", "emulator", "host", "include", "renderer", "solver", "tests"};

bool under(const std::string& path, const std::string& folder) { return path.compare(0, folder.size(), folder) == 0; }

bool isSource(const fs::path& file) {
    static const std::vector<std::string> extensions = {".c", ".h", ".cpp", ".hpp", ".cu", ".cuh"};
    for (const std::string& extension : extensions)
        if (file.extension() == extension) return true;
    return false;
}

// The tree's own file that an include line names, relative to root; empty for one from outside
// the tree (the standard library, the platform, third-party headers).
std::string resolve(const fs::path& root, const std::string& file, const std::string& name, bool quoted) {
    std::vector<fs::path> candidates;
    if (quoted) candidates.push_back(fs::path(file).parent_path() / name);
    for (const char* includeRoot : includeRoots) candidates.push_back(fs::path(includeRoot) / name);
    for (const fs::path& candidate : candidates)
        if (fs::is_regular_file(root / candidate)) return candidate.lexically_normal().generic_string();
    return {};
}

struct Scan {
    std::vector<std::string> violations;
    int resolved = 0;
};

void check(const std::string& file, const std::string& included, Scan& scan) {
    for (const Forbidden& rule : forbidden)
        if (under(file, rule.from) && !under(file, rule.to) && under(included, rule.to))
            scan.violations.push_back(file + " includes " + included + ": " + rule.why);
    for (const Confined& rule : confined)
        if (under(file, rule.from) && !under(included, rule.within))
            scan.violations.push_back(file + " includes " + included + ": " + rule.why);
}

// The name an include line names and whether it is quoted, or an empty name for any other line.
// Read by hand rather than with std::regex, whose header GCC 12 warns about when instrumented.
struct Included {
    std::string name;
    bool quoted = false;
};

Included includedBy(const std::string& line) {
    std::size_t at = line.find_first_not_of(" \t");
    if (at == std::string::npos || line[at] != '#') return {};
    at = line.find_first_not_of(" \t", at + 1);
    if (at == std::string::npos || line.compare(at, 7, "include") != 0) return {};
    at = line.find_first_not_of(" \t", at + 7);
    if (at == std::string::npos || (line[at] != '<' && line[at] != '"')) return {};
    const bool quoted = line[at] == '"';
    const std::size_t end = line.find(quoted ? '"' : '>', at + 1);
    if (end == std::string::npos || end == at + 1) return {};
    return {line.substr(at + 1, end - at - 1), quoted};
}

Scan scan(const fs::path& root) {
    Scan result;
    for (const char* folder : sourceFolders) {
        if (!fs::is_directory(root / folder)) continue;
        for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root / folder)) {
            if (!entry.is_regular_file() || !isSource(entry.path())) continue;
            const std::string file = entry.path().lexically_relative(root).generic_string();
            std::ifstream in(entry.path());
            for (std::string line; std::getline(in, line);) {
                const Included named = includedBy(line);
                if (named.name.empty()) continue;
                const std::string included = resolve(root, file, named.name, named.quoted);
                if (included.empty()) continue;
                ++result.resolved;
                check(file, included, result);
            }
        }
    }
    return result;
}

std::string joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) text += "\n  " + line;
    return text;
}

TEST(Layering, TheTreeIncludesOnlyDownward) {
    const Scan result = scan(QM_SOURCE_DIR);
    // A scan that resolved nothing would pass whatever the tree does.
    EXPECT_GT(result.resolved, 100);
    EXPECT_TRUE(result.violations.empty()) << joined(result.violations);
}

// One file planted in an otherwise empty tree, including another that exists there.
struct Planted {
    const char* file;
    const char* include;
    const char* target;
    bool violates;
};

class PlantedInclude : public ::testing::TestWithParam<Planted> {};

TEST_P(PlantedInclude, IsJudgedByItsFolders) {
    const Planted& planted = GetParam();
    const test::TempFolder tree("quellmar-layering");
    fs::create_directories((tree / planted.file).parent_path());
    fs::create_directories((tree / planted.target).parent_path());
    std::ofstream(tree / planted.file) << planted.include << "\n";
    std::ofstream(tree / planted.target) << "\n";
    const Scan result = scan(tree.root);
    EXPECT_EQ(result.resolved, 1);
    EXPECT_EQ(result.violations.size(), planted.violates ? 1u : 0u) << joined(result.violations);
}

INSTANTIATE_TEST_SUITE_P(
    Layering, PlantedInclude,
    ::testing::Values(Planted{"solver/native/a.cpp", R"(#include "bridge/json/readers.hpp")", "bridge/json/readers.hpp", true},
                      Planted{"solver/fft/a.cpp", R"(#include "renderer/gl/gl.hpp")", "renderer/gl/gl.hpp", true},
                      Planted{"solver/a.cpp", R"(#include "host/run.h")", "host/run.h", true},
                      Planted{"emulator/a.cpp", R"(#include "bridge/run/files.hpp")", "bridge/run/files.hpp", true},
                      Planted{"emulator/common/a.cpp", R"(#include "solver/cuda/platform.hpp")", "solver/cuda/platform.hpp", true},
                      Planted{"emulator/a.cpp", R"(  #  include "renderer/gl/font.hpp")", "renderer/gl/font.hpp", true},
                      Planted{"emulator/a.cpp", R"(#include <host/run.h>)", "host/run.h", true},
                      Planted{"renderer/gl/a.cpp", R"(#include "bridge/ui/controller.hpp")", "bridge/ui/controller.hpp", true},
                      Planted{"tests/a.cpp", R"(#include "host/run.h")", "host/run.h", true},
                      Planted{"bridge/a.cpp", R"(#include "host/run.h")", "host/run.h", true},
                      Planted{"include/mirel/a.hpp", R"(#include "solver/cuda/stream.hpp")", "solver/cuda/stream.hpp", true},
                      Planted{"include/quellmar/a.h", R"(#include "bridge/json/boundary.hpp")", "bridge/json/boundary.hpp", true},
                      Planted{"include/mirel/a.hpp", R"(#include "mirel/export.hpp")", "include/mirel/export.hpp", false},
                      Planted{"bridge/a.cpp", R"(#include "renderer/renderer.hpp")", "renderer/renderer.hpp", false},
                      Planted{"bridge/a.cpp", R"(#include "renderer/shared.hpp")", "renderer/shared.hpp", false},
                      Planted{"renderer/gl/a.cpp", R"(#include "solver/cuda/cuda_check.hpp")", "solver/cuda/cuda_check.hpp", false},
                      Planted{"solver/a.cpp", R"(#include <quellmar_emulator/kernel.hpp>)", "emulator/include/quellmar_emulator/kernel.hpp", false},
                      Planted{"emulator/driver/a.cpp", R"(#include "common/error_texts.hpp")", "emulator/common/error_texts.hpp", false},
                      Planted{"host/a.c", R"(#include "b.h")", "host/b.h", false},
                      Planted{"tests/bridge/a.cpp", R"(#include "bridge/ui/controller.hpp")", "bridge/ui/controller.hpp", false}));

}  // namespace
