// The raw files that come from or go to a solver: the spectrum and fields files of a measured
// run, byte for byte, and an initial vorticity file through loadInitial into a solver.
#include <cmath>
#include <filesystem>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "bridge/run/files.hpp"
#include "bridge/run/options.hpp"
#include "solver/native/solver_failure.hpp"
#include "support/file_bytes.hpp"
#include "support/solver_fixture.hpp"
#include "support/temp_folder.hpp"

namespace {

using mirel::Frame;
using mirel::Solver;
using test::Bytes;
constexpr double pi = 3.14159265358979323846;

mirel::Options run(int n) {
    mirel::Options options;
    options.config.resolution = n;
    return options;
}

Bytes bytesOf(const std::vector<mirel::Complex>& values) {
    return test::littleEndian(reinterpret_cast<const float*>(values.data()), 2 * values.size());
}

class SolverFiles : public test::DeviceTest {
protected:
    test::TempFolder folder{"quellmar-solver-files"};
};

TEST_F(SolverFiles, SpectrumAndFieldsFilesHoldTheSolverState) {
    mirel::Options options = run(16);
    options.spectrum = folder / "spectrum.bin";
    options.fields = folder / "fields.bin";
    Solver solver(options.config);
    mirel::writeSpectrum(solver, options);

    const Bytes spectrum = test::readBytes(options.spectrum);
    EXPECT_EQ(spectrum.size(), 2048u);
    EXPECT_EQ(spectrum, bytesOf(solver.spectrum()));

    // The frame of the fields file is released again: all three slots are free.
    std::shared_ptr<Frame> frames[3];
    for (auto& frame : frames) {
        frame = solver.snapshot(true);
        ASSERT_NE(frame, nullptr);
    }
    const std::vector<float> planes = solver.readFrame(*frames[0]);
    const Bytes fields = test::readBytes(options.fields);
    EXPECT_EQ(fields.size(), 3072u);
    EXPECT_EQ(fields, test::littleEndian(planes));
    EXPECT_GT(frames[0]->max_speed, 0.0f) << "the fields file carries velocity";
}

TEST_F(SolverFiles, OnlyTheNamedFilesAreWritten) {
    struct Case {
        bool spectrum;
        bool fields;
    };
    for (const Case test : {Case{true, false}, Case{false, true}}) {
        SCOPED_TRACE(test.spectrum ? "spectrum" : "fields");
        mirel::Options options = run(16);
        if (test.spectrum) options.spectrum = folder / "spectrum.bin";
        if (test.fields) options.fields = folder / "fields.bin";
        Solver solver(options.config);
        mirel::writeSpectrum(solver, options);
        EXPECT_EQ(std::filesystem::exists(folder / "spectrum.bin"), test.spectrum);
        EXPECT_EQ(std::filesystem::exists(folder / "fields.bin"), test.fields);
        std::filesystem::remove_all(folder / "spectrum.bin");
        std::filesystem::remove_all(folder / "fields.bin");
    }
}

TEST_F(SolverFiles, WithoutPathsNothingIsWrittenNorSnapshotTaken) {
    const mirel::Options options = run(16);
    Solver solver(options.config);
    std::shared_ptr<Frame> held[3];
    for (auto& frame : held) frame = solver.snapshot(false);
    EXPECT_NO_THROW(mirel::writeSpectrum(solver, options));
    EXPECT_TRUE(folder.empty());
    EXPECT_NO_THROW(solver.statistics());
}

TEST_F(SolverFiles, FieldsFileNeedsAFreeSlot) {
    mirel::Options options = run(16);
    options.spectrum = folder / "spectrum.bin";
    options.fields = folder / "fields.bin";
    Solver solver(options.config);
    std::shared_ptr<Frame> held[3];
    for (auto& frame : held) frame = solver.snapshot(false);
    try {
        mirel::writeSpectrum(solver, options);
        ADD_FAILURE() << "no failure";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "No snapshot slot.");
    }
    EXPECT_EQ(test::readBytes(options.spectrum).size(), 2048u);
    EXPECT_FALSE(std::filesystem::exists(options.fields));
}

TEST_F(SolverFiles, InitialFileStartsTheSolver) {
    // ω = cos(x + 2y) at x = 2π i / N, y = 2π j / N, stored row by row.
    const int n = 16;
    std::vector<float> field(n * n);
    for (int j = 0; j < n; ++j)
        for (int i = 0; i < n; ++i) field[n * j + i] = static_cast<float>(std::cos(2.0 * pi * ((i + 2 * j) % n) / n));
    mirel::Options options = run(n);
    options.initial = folder / "initial.bin";
    test::writeBytes(options.initial, test::littleEndian(field));

    Solver solver(options.config, mirel::loadInitial(options));
    const std::shared_ptr<Frame> frame = solver.snapshot(false);
    ASSERT_NE(frame, nullptr);
    const std::vector<float> planes = solver.readFrame(*frame);
    for (int i = 0; i < n * n; ++i) ASSERT_NEAR(planes[i], field[i], 1e-6) << i;
}

TEST_F(SolverFiles, InitialFileWithNaNLoadsButTheSolverRefusesIt) {
    const int n = 16;
    std::vector<float> field(n * n, 0.25f);
    field[37] = std::numeric_limits<float>::quiet_NaN();
    mirel::Options options = run(n);
    options.initial = folder / "initial.bin";
    test::writeBytes(options.initial, test::littleEndian(field));
    const std::vector<float> loaded = mirel::loadInitial(options);
    ASSERT_EQ(loaded.size(), field.size());
    EXPECT_TRUE(std::isnan(loaded[37]));
    try {
        Solver solver(options.config, loaded);
        ADD_FAILURE() << "no failure";
    } catch (const std::invalid_argument& error) {
        EXPECT_STREQ(error.what(), "Initial vorticity must contain exactly N\xC2\xB2 finite Float32 samples.");
    }
}

}  // namespace
