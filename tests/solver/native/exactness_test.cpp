// Everything a caller sees of a run, byte for byte against a record made by an earlier build: the
// statistics of every call, the frame summary and planes, and the spectrum. How the kernels reach
// memory may change; none of these bits may.
//
// The record is per build. The emulator's lives beside this file. A GPU's bits depend on the
// device's FFT kernels and exponentials, so no record of the cuda build is kept in the tree: on a
// GPU, record the tree before a change with
//     QUELLMAR_EXACTNESS_WRITE=DIR ctest --test-dir build/cuda -R Exactness
// and test the changed tree against it with QUELLMAR_EXACTNESS_RECORD=DIR; without that variable
// the cuda build skips these tests. QUELLMAR_EXACTNESS_WRITE also rewrites the emulator's record,
// which only a change of what a step computes may do.
#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "support/solver_fixture.hpp"

namespace {

using Bytes = std::vector<unsigned char>;

template <typename T>
void append(Bytes& bytes, const T& value) {
    const auto* first = reinterpret_cast<const unsigned char*>(&value);
    bytes.insert(bytes.end(), first, first + sizeof(T));
}

template <typename T>
void appendAll(Bytes& bytes, const std::vector<T>& values) {
    const auto* first = reinterpret_cast<const unsigned char*>(values.data());
    bytes.insert(bytes.end(), first, first + values.size() * sizeof(T));
}

// The fields of the statistics that do not depend on the machine: not the GPU time, not the FFT
// library's plan memory.
Bytes statisticsBytes(const mirel::Statistics& s) {
    Bytes bytes;
    append(bytes, s.steps);
    for (double value : {s.simulationTime, s.energy, s.enstrophy, s.palinstrophy, s.palinstrophyRatio, s.reynolds,
                         s.initialTurnoverTime})
        append(bytes, value);
    append(bytes, s.dt);
    append(bytes, s.allocatedBytes);
    return bytes;
}

Bytes frameSummaryBytes(const mirel::Frame& f) {
    Bytes bytes;
    append(bytes, f.grid_size);
    append(bytes, f.steps);
    append(bytes, f.time);
    for (float value : {f.max_vorticity, f.mean_vorticity, f.std_vorticity, f.max_speed}) append(bytes, value);
    append(bytes, static_cast<unsigned char>(f.velocity));
    return bytes;
}

// Named sections, so that a difference is reported by what it is.
struct Record {
    std::vector<std::pair<std::string, Bytes>> sections;

    void add(std::string name, Bytes bytes) { sections.emplace_back(std::move(name), std::move(bytes)); }

    Bytes serialise() const {
        Bytes bytes;
        for (const auto& [name, content] : sections) {
            bytes.insert(bytes.end(), name.begin(), name.end());
            bytes.push_back(0);
            append(bytes, static_cast<std::uint64_t>(content.size()));
            bytes.insert(bytes.end(), content.begin(), content.end());
        }
        return bytes;
    }

    static Record parse(const Bytes& bytes) {
        Record record;
        std::size_t at = 0;
        while (at < bytes.size()) {
            const auto* name = reinterpret_cast<const char*>(bytes.data() + at);
            const std::size_t length = strnlen(name, bytes.size() - at);
            std::uint64_t size = 0;
            if (at + length + 1 + sizeof size > bytes.size()) throw std::runtime_error("truncated record");
            std::memcpy(&size, bytes.data() + at + length + 1, sizeof size);
            const std::size_t begin = at + length + 1 + sizeof size;
            if (size > bytes.size() - begin) throw std::runtime_error("truncated record");
            record.add(std::string(name, length), Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(begin),
                                                        bytes.begin() + static_cast<std::ptrdiff_t>(begin + size)));
            at = begin + size;
        }
        return record;
    }
};

// The record files are zlib streams with the uncompressed size in front.
void writeFile(const std::string& path, const Bytes& bytes) {
    uLongf packedSize = compressBound(bytes.size());
    Bytes packed(packedSize);
    ASSERT_EQ(compress2(packed.data(), &packedSize, bytes.data(), bytes.size(), Z_BEST_COMPRESSION), Z_OK);
    std::ofstream out(path, std::ios::binary);
    const std::uint64_t size = bytes.size();
    out.write(reinterpret_cast<const char*>(&size), sizeof size);
    out.write(reinterpret_cast<const char*>(packed.data()), static_cast<std::streamsize>(packedSize));
    ASSERT_TRUE(out.good()) << path;
}

std::optional<Bytes> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::uint64_t size = 0;
    in.read(reinterpret_cast<char*>(&size), sizeof size);
    const Bytes packed((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    Bytes bytes(size);
    uLongf unpackedSize = size;
    if (uncompress(bytes.data(), &unpackedSize, packed.data(), packed.size()) != Z_OK || unpackedSize != size)
        throw std::runtime_error("unreadable record " + path);
    return bytes;
}

struct RunCase {
    const char* name;
    int n;
    std::uint32_t method;
    std::uint32_t form;
    float fixedDt;  // 0: adaptive
};

void PrintTo(const RunCase& run, std::ostream* out) { *out << run.name; }

// Every native integrator in both forms, adaptive and fixed, at 64^2 (padded 96^2); in both forms
// at 160^2 (padded 240^2, no power of two); CNAB2 where it runs (a power of two, "stress").
const RunCase runs[] = {
    {"imexRK3_stress_64_adaptive", 64, mirel::imexRK3, mirel::stress, 0.0f},
    {"imexRK3_stress_64_fixed", 64, mirel::imexRK3, mirel::stress, 0.01f},
    {"imexRK3_advective_64_adaptive", 64, mirel::imexRK3, mirel::advective, 0.0f},
    {"imexRK3_advective_64_fixed", 64, mirel::imexRK3, mirel::advective, 0.01f},
    {"ifHeunRK3_stress_64_adaptive", 64, mirel::ifHeunRK3, mirel::stress, 0.0f},
    {"ifHeunRK3_stress_64_fixed", 64, mirel::ifHeunRK3, mirel::stress, 0.01f},
    {"ifHeunRK3_advective_64_adaptive", 64, mirel::ifHeunRK3, mirel::advective, 0.0f},
    {"ifHeunRK3_advective_64_fixed", 64, mirel::ifHeunRK3, mirel::advective, 0.01f},
    {"etdrk4_stress_64_adaptive", 64, mirel::etdrk4, mirel::stress, 0.0f},
    {"etdrk4_stress_64_fixed", 64, mirel::etdrk4, mirel::stress, 0.01f},
    {"etdrk4_advective_64_adaptive", 64, mirel::etdrk4, mirel::advective, 0.0f},
    {"etdrk4_advective_64_fixed", 64, mirel::etdrk4, mirel::advective, 0.01f},
    {"CNAB2_stress_64_adaptive", 64, mirel::CNAB2, mirel::stress, 0.0f},
    {"CNAB2_stress_64_fixed", 64, mirel::CNAB2, mirel::stress, 0.01f},
    {"imexRK3_stress_160_adaptive", 160, mirel::imexRK3, mirel::stress, 0.0f},
    {"imexRK3_advective_160_fixed", 160, mirel::imexRK3, mirel::advective, 0.004f},
    {"ifHeunRK3_stress_160_fixed", 160, mirel::ifHeunRK3, mirel::stress, 0.004f},
    {"ifHeunRK3_advective_160_adaptive", 160, mirel::ifHeunRK3, mirel::advective, 0.0f},
    {"etdrk4_stress_160_adaptive", 160, mirel::etdrk4, mirel::stress, 0.0f},
    {"etdrk4_advective_160_fixed", 160, mirel::etdrk4, mirel::advective, 0.004f},
};

// The run's calls: plain steps; a reset and steps from it; two ends on an end time, each within
// a batch whose later steps do nothing, the second starting after those; the final state.
Record play(const RunCase& run) {
    mirel::Config config;
    config.resolution = run.n;
    config.method = run.method;
    config.form = run.form;
    config.fixedDt = run.fixedDt;
    config.cfl = 1.0f;
    mirel::Solver solver(config);
    Record record;
    record.add("start", statisticsBytes(solver.statistics()));
    record.add("advance 2", statisticsBytes(solver.advance(2)));
    solver.reset({});
    record.add("reset", statisticsBytes(solver.statistics()));
    const mirel::Statistics three = solver.advance(3);
    record.add("advance 3", statisticsBytes(three));
    const double firstEnd = three.simulationTime + 2.5 * three.dt;
    const mirel::Statistics first = solver.advance(12, firstEnd);
    record.add("advance to first end", statisticsBytes(first));
    record.add("advance to second end", statisticsBytes(solver.advance(12, firstEnd + 1.5 * first.dt)));
    record.add("inspect", statisticsBytes(solver.inspect()));
    const std::shared_ptr<mirel::Frame> frame = solver.snapshot(true);
    record.add("frame summary", frameSummaryBytes(*frame));
    Bytes planes;
    appendAll(planes, solver.readFrame(*frame));
    record.add("frame planes", std::move(planes));
    Bytes spectrum;
    appendAll(spectrum, solver.spectrum());
    record.add("spectrum", std::move(spectrum));
    return record;
}

std::optional<std::string> recordFolder() {
    if (const char* folder = std::getenv("QUELLMAR_EXACTNESS_RECORD")) return std::string(folder);
#if defined(QUELLMAR_EMULATOR)
    return std::string(QM_EXACTNESS_RECORD);
#else
    return std::nullopt;
#endif
}

std::size_t firstDifference(const Bytes& a, const Bytes& b) {
    std::size_t i = 0;
    while (i < a.size() && i < b.size() && a[i] == b[i]) ++i;
    return i;
}

class Exactness : public test::DeviceTest, public testing::WithParamInterface<RunCase> {};

TEST_P(Exactness, EveryResultKeepsTheRecordedBits) {
    const RunCase& run = GetParam();
    const std::string file = std::string(run.name) + ".rec";
    if (const char* folder = std::getenv("QUELLMAR_EXACTNESS_WRITE")) {
        writeFile(std::string(folder) + "/" + file, play(run).serialise());
        return;
    }
    const std::optional<std::string> folder = recordFolder();
    if (!folder) GTEST_SKIP() << "no record of this build; see the top of this file";
    const std::optional<Bytes> stored = readFile(*folder + "/" + file);
    ASSERT_TRUE(stored) << "missing record " << *folder << "/" << file;
    const Record expected = Record::parse(*stored);
    const Record actual = play(run);
    ASSERT_EQ(actual.sections.size(), expected.sections.size());
    for (std::size_t i = 0; i < expected.sections.size(); ++i) {
        const auto& [name, bytes] = expected.sections[i];
        ASSERT_EQ(actual.sections[i].first, name);
        EXPECT_EQ(actual.sections[i].second.size(), bytes.size()) << name;
        EXPECT_TRUE(actual.sections[i].second == bytes)
            << name << " differs from byte " << firstDifference(actual.sections[i].second, bytes);
    }
}

INSTANTIATE_TEST_SUITE_P(Runs, Exactness, testing::ValuesIn(runs),
                         [](const testing::TestParamInfo<RunCase>& info) { return std::string(info.param.name); });

}  // namespace
