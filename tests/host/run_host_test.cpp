// The command-line host quellmar-run: its output lines, its files, its exit codes, and that its
// options reach the engine unchanged.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <system_error>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/engine_fixture.hpp"
#include "support/file_bytes.hpp"
#include "support/file_fixture.hpp"
#include "support/messages.hpp"
#include "support/process.hpp"
#include "support/unprivileged.hpp"

namespace {

using nlohmann::json;
using test::Engine;
using test::withoutTiming;

// The standard library's message for a file whose size cannot be read, as the library answers it.
std::string fileSystemError(const std::string& path) {
    std::error_code error;
    static_cast<void>(std::filesystem::file_size(path, error));
    return std::filesystem::filesystem_error("cannot get file size", path, error).what();
}

// What the host writes on standard error when it refuses a run before its first step.
std::string refused(const std::string& message) {
    return "quellmar-run: " + message + "\nRun 'quellmar-run --help' for the options.\n";
}

struct Result {
    int code = -1;
    std::vector<std::string> out;       // stdout, line by line
    std::vector<std::string> progress;  // the progress lines of stderr
    std::string err;                    // the rest of stderr
};

class RunHost : public test::EngineTest {
protected:
    // prefix comes before the host's name on the command line (env -u DISPLAY, say).
    Result run(const std::string& arguments, const std::string& prefix = "") const {
        const std::string errors = file("stderr.txt");
        const std::string text =
            test::output(prefix + "'" QM_RUN "' " + arguments + " 2>'" + errors + "'; echo \"exit $?\"");
        Result result;
        std::istringstream lines(text);
        for (std::string line; std::getline(lines, line);) result.out.push_back(line);
        if (!result.out.empty() && result.out.back().rfind("exit ", 0) == 0) {
            result.code = std::stoi(result.out.back().substr(5));
            result.out.pop_back();
        }
        const test::Bytes bytes = test::readBytes(errors);
        std::istringstream err(std::string(bytes.begin(), bytes.end()));
        for (std::string line; std::getline(err, line);) {
            if (line.rfind("step ", 0) == 0)
                result.progress.push_back(line);
            else
                result.err += line + (err.eof() ? "" : "\n");
        }
        return result;
    }
};

TEST_F(RunHost, DecaysAndWritesItsFiles) {
    constexpr int n = 32;
    const Result start = run("--resolution 32 --reynolds 1000 --steps 0");
    ASSERT_EQ(start.code, 0) << start.err;
    ASSERT_EQ(start.out.size(), 2u);
    const json initial = json::parse(start.out[0]);
    EXPECT_EQ(initial["steps"], 0);
    EXPECT_EQ(json::parse(start.out[1]), json({{"steps_run", 0}, {"wall_ms_per_step", 0}, {"gpu_ms_per_step", 0}}));

    const Result result = run("--resolution 32 --steps 300 --reynolds 1000 --spectrum '" + file("spectrum.bin") +
                              "' --fields '" + file("fields.bin") + "'");
    ASSERT_EQ(result.code, 0) << result.err;
    ASSERT_EQ(result.out.size(), 2u);
    const json statistics = json::parse(result.out[0]);
    EXPECT_EQ(statistics["steps"], 300);
    EXPECT_EQ(statistics["is_finite"], true);
    EXPECT_LT(statistics["energy"].get<double>(), initial["energy"].get<double>());
    EXPECT_LT(statistics["enstrophy"].get<double>(), initial["enstrophy"].get<double>());
    const json timing = json::parse(result.out[1]);
    EXPECT_EQ(timing["steps_run"], 300);
    EXPECT_GT(timing["wall_ms_per_step"].get<double>(), 0.0);
    EXPECT_GT(timing["gpu_ms_per_step"].get<double>(), 0.0);
    EXPECT_EQ(timing.size(), 3u);
    EXPECT_EQ(std::filesystem::file_size(file("spectrum.bin")), 8u * n * n);
    EXPECT_EQ(std::filesystem::file_size(file("fields.bin")), 12u * n * n);
    ASSERT_EQ(result.progress.size(), 2u);
    EXPECT_EQ(result.progress[0].rfind("step 256 ", 0), 0u) << result.progress[0];
    EXPECT_EQ(result.progress[1].rfind("step 300 ", 0), 0u) << result.progress[1];
}

// The host's run equals an engine driven directly with the same configuration.
TEST_F(RunHost, OptionsReachTheEngine) {
    std::vector<float> vorticity(16 * 16);
    for (std::size_t i = 0; i < vorticity.size(); ++i) vorticity[i] = static_cast<float>((i * 7919) % 13) - 6.0f;
    test::writeFloats(file("initial.bin"), vorticity);
    std::string repeated;
    for (int i = 0; i < 20; ++i) repeated += " --k0 " + std::to_string(9 - i % 7);
    struct Case {
        std::string arguments;
        json configuration;
        int steps;
    };
    const Case cases[] = {
        {"--resolution 16 --k0 3 --seed 7 --reynolds 700 --cfl 1.5 --integrator imexRK3 --operator advective "
         "--start-spectrum KM3 --steps 20",
         {{"resolution", 16}, {"k0", 3}, {"seed", "7"}, {"reynolds", 700}, {"cfl", 1.5}, {"integrator", "imexRK3"}, {"operator", "advective"}, {"start_spectrum", "KM3"}},
         20},
        {"--resolution 16 --fixed-dt 0.02 --initial '" + file("initial.bin") + "' --steps 7",
         {{"resolution", 16}, {"fixed_dt", 0.02}, {"initial", file("initial.bin")}},
         7},
        {"--resolution 16" + repeated + " --steps 2", {{"resolution", 16}, {"k0", 9 - 19 % 7}}, 2},
        {"--resolution 16 --integrator CNAB2 --seed 9 --reynolds 500 --steps 6",
         {{"resolution", 16}, {"integrator", "CNAB2"}, {"seed", 9}, {"reynolds", 500}},
         6},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arguments);
        const Result result = run(c.arguments);
        ASSERT_EQ(result.code, 0) << result.err;
        ASSERT_EQ(result.out.size(), 2u);
        Engine engine(c.configuration);
        engine({{"op", "advance"}, {"steps", c.steps}});
        EXPECT_EQ(withoutTiming(json::parse(result.out[0])), withoutTiming(engine({{"op", "inspect"}})));
        EXPECT_EQ(json::parse(result.out[1])["steps_run"], c.steps);
    }
}

// The side of a PNG file, from the width and height of its header chunk; 0 when it is none.
std::pair<unsigned, unsigned> pngSize(const std::string& path) {
    const test::Bytes bytes = test::readBytes(path);
    if (bytes.size() < 24 || std::string(bytes.begin() + 1, bytes.begin() + 4) != "PNG") return {0, 0};
    const auto word = [&](std::size_t at) {
        unsigned value = 0;
        for (std::size_t i = at; i < at + 4; ++i) value = value << 8 | static_cast<unsigned char>(bytes[i]);
        return value;
    };
    return {word(16), word(20)};
}

// The host finds the renderer module beside the library it loaded; the picture needs a display,
// and without one the files asked for before it are written all the same.
TEST_F(RunHost, PictureOfTheFinalField) {
    const std::string files = " --fields '" + file("fields.bin") + "' --png '" + file("final.png") + "'";
    // Without a display the run is refused before its first step: no statistics, no file.
    const Result headless = run("--resolution 16 --steps 3" + files, "env -u DISPLAY ");
    EXPECT_EQ(headless.code, 2);
    EXPECT_EQ(headless.err, refused("--png: OpenGL rendering requires a local X11/Xwayland display (DISPLAY)."));
    EXPECT_TRUE(headless.out.empty());
    EXPECT_FALSE(std::filesystem::exists(file("fields.bin")));
    EXPECT_FALSE(std::filesystem::exists(file("final.png")));

    if (std::getenv("DISPLAY") == nullptr) GTEST_SKIP() << "the picture needs an X display: DISPLAY is not set";
    const Result result = run("--resolution 16 --steps 3" + files);
    ASSERT_EQ(result.code, 0) << result.err;
    EXPECT_EQ(pngSize(file("final.png")), std::make_pair(1800u, 1800u));
}

// A picture that the file system refuses part-way, as a full disk would, leaves the picture it
// was to replace whole.
TEST_F(RunHost, RefusedPictureKeepsTheOldOne) {
    if (std::getenv("DISPLAY") == nullptr) GTEST_SKIP() << "the picture needs an X display: DISPLAY is not set";
    const test::Bytes old(4096, 0xAB);
    test::writeBytes(file("final.png"), old);
    const Result result = run("--resolution 16 --steps 1 --png '" + file("final.png") + "'", "trap '' XFSZ; ulimit -f 8; ");
    EXPECT_EQ(result.code, 1);
    EXPECT_EQ(result.err, std::string("quellmar-run: Write PNG: ") + std::strerror(EFBIG) + "\n");
    EXPECT_EQ(test::readBytes(file("final.png")), old);
}

// Run by a user without root's privileges, the host refuses a file that user may not write before
// the first step, and writes in place a writable file in a folder that takes no new file.
TEST_F(RunHost, FilesOfAnUnprivilegedUser) {
    using std::filesystem::perms;
    const perms readOnly = perms::owner_read | perms::group_read | perms::others_read;
    const perms writable = readOnly | perms::owner_write | perms::group_write | perms::others_write;
    const perms closed = readOnly | perms::owner_exec | perms::group_exec | perms::others_exec;
    struct Case {
        const char* option;
        perms fileMode;
        perms folderMode;
        std::string outcome;  // exit code and standard error
    };
    const std::filesystem::path box = folder / "box";
    const auto denied = [&](const std::string& option) {
        return "2 " + refused(option + ": '" + (box / "out").string() + "' cannot be written: " + std::strerror(EACCES));
    };
    const Case cases[] = {
        {"--fields", readOnly, perms::all, denied("--fields")},
        {"--fields", writable, closed, "0 "},
        {"--png", readOnly, perms::all, denied("--png")},
        {"--png", writable, closed, "0 "},
    };
    const test::Bytes old(64, 0xAB);
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.option) + " " + c.outcome);
        if (std::string(c.option) == "--png" && std::getenv("DISPLAY") == nullptr) continue;
        std::filesystem::create_directory(box);
        test::writeBytes(box / "out", old);
        std::filesystem::permissions(box / "out", c.fileMode);
        std::filesystem::permissions(box, c.folderMode);
        const std::string outcome = test::unprivileged([&] {
            const Result result = run(std::string("--resolution 16 --steps 1 ") + c.option + " '" + (box / "out").string() + "'");
            return std::to_string(result.code) + " " + result.err;
        });
        std::filesystem::permissions(box, perms::all);
        EXPECT_EQ(outcome, c.outcome);
        EXPECT_EQ(test::readBytes(box / "out") == old, c.outcome[0] == '2');
        EXPECT_EQ(test::permissions(box / "out"), c.fileMode);
        EXPECT_EQ(test::entries(box), std::vector<std::string>{"out"});
        std::filesystem::remove_all(box);
    }
    // No new file in a folder that takes none.
    std::filesystem::create_directory(box);
    std::filesystem::permissions(box, closed);
    const std::string outcome = test::unprivileged([&] {
        return std::to_string(run("--resolution 16 --steps 1 --fields '" + (box / "new").string() + "'").code);
    });
    std::filesystem::permissions(box, perms::all);
    EXPECT_EQ(outcome, "2");
    EXPECT_TRUE(std::filesystem::is_empty(box));
}

// The library writes a path of one of the host's own descriptors through that descriptor, so the
// permission bits of the file behind it are no reason to refuse the run: here standard output is
// a file the user could not open for writing itself.
TEST_F(RunHost, OwnStandardOutputIsTakenWhateverItsPermissionBits) {
    const std::filesystem::path out = folder / "out.bin";
    const int descriptor = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0444);
    ASSERT_GE(descriptor, 0);
    for (const char* path : {"/dev/stdout", "/dev/fd/3", "/proc/self/fd/1"}) {
        SCOPED_TRACE(path);
        ASSERT_EQ(::ftruncate(descriptor, 0), 0);
        const std::string code = test::unprivileged([&] {
            if (dup2(descriptor, 3) != 3) return std::string("(no descriptor 3)");
            return test::output("'" QM_RUN "' --resolution 16 --steps 1 --spectrum " + std::string(path) + " >&3 2>&-; echo $?");
        });
        EXPECT_EQ(code, "0\n");
        EXPECT_GT(std::filesystem::file_size(out), 8u * 16 * 16);
    }
    ::close(descriptor);
}

// Error texts reach standard error byte for byte, whether the library answers them in JSON (a
// failed call, where the tab and the other control character come escaped) or as plain text (a
// failed creation, from a request that carried them escaped): here they quote a folder and a file
// whose names hold letters beyond ASCII and control characters.
TEST_F(RunHost, ErrorTextsKeepTheirBytes) {
    const std::string name = "lib \xC3\xA9\xE2\x86\x92\t\x01";  // "lib é→", a tab, U+0001
    // The host looks for the renderer module beside the library it loaded, which lies in that
    // folder here, alone.
    const std::filesystem::path library = folder / name;
    std::filesystem::create_directory(library);
    std::filesystem::create_symlink(QM_LIBRARY, library / "libquellmar.so");
    const Result call = run("--resolution 16 --steps 1 --png '" + file("final.png") + "'",
                            "LD_LIBRARY_PATH='" + library.string() + "'${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH} ");
    EXPECT_EQ(call.code, 2);
    EXPECT_EQ(call.err, refused("--png: Cannot load Linux renderer: " + (library / "libquellmar_gl.so").string() +
                                ": cannot open shared object file: " + std::strerror(ENOENT)));

    const std::string initial = file((name + ".bin").c_str());
    const Result create = run("--resolution 16 --initial '" + initial + "'");
    EXPECT_EQ(create.code, 2);
    EXPECT_EQ(create.err, refused(fileSystemError(initial))) << create.err;
}

TEST_F(RunHost, StopsAtTheEndTime) {
    const Result result = run("--resolution 16 --reynolds 1000 --until 2.5");
    ASSERT_EQ(result.code, 0) << result.err;
    ASSERT_EQ(result.out.size(), 2u);
    const json statistics = json::parse(result.out[0]);
    EXPECT_EQ(statistics["simulation_time"], 2.5);
    EXPECT_EQ(json::parse(result.out[1])["steps_run"], statistics["steps"]);
    EXPECT_EQ(result.err.find("ran out"), std::string::npos) << result.err;
}

// A run still succeeds when its steps end before its end time, and says so.
TEST_F(RunHost, SaysWhenTheStepsRunOutBeforeTheEndTime) {
    const Result result = run("--resolution 16 --fixed-dt 0.01 --steps 3 --until 2.5");
    ASSERT_EQ(result.code, 0) << result.err;
    ASSERT_EQ(result.out.size(), 2u);
    EXPECT_EQ(json::parse(result.out[0])["steps"], 3);
    EXPECT_NE(result.err.find("quellmar-run: --steps 3 ran out at t=0.03, before --until 2.5\n"), std::string::npos)
        << result.err;
}

// Every run reports its progress after its last chunk at least: the step it reached, the wall time
// so far, and the time left where the number of steps is known.
TEST_F(RunHost, ReportsItsProgress) {
    struct Case {
        std::string arguments;
        std::vector<std::string> steps;  // the step counts of the progress lines
        bool timeLeft;
    };
    const Case cases[] = {
        {"--resolution 16 --steps 3", {"3"}, true},
        {"--resolution 16 --steps 300", {"256", "300"}, true},
        {"--resolution 16 --fixed-dt 0.0078125 --until 0.0390625", {"5"}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arguments);
        const Result result = run(c.arguments);
        ASSERT_EQ(result.code, 0) << result.err;
        EXPECT_EQ(result.err, "");
        std::vector<std::string> steps;
        for (const std::string& line : result.progress) {
            std::istringstream words(line);
            std::string word, step;
            words >> word >> step;
            steps.push_back(step);
            EXPECT_NE(line.find("  elapsed="), std::string::npos) << line;
            EXPECT_EQ(line.find("  left=") != std::string::npos, c.timeLeft) << line;
        }
        EXPECT_EQ(steps, c.steps);
    }
}

// The statistics are what a run gives: a standard output that cannot take them fails it.
TEST_F(RunHost, FailsWhenItsOutputIsLost) {
    struct Case {
        const char* redirection;
        std::string message;
    };
    const Case cases[] = {
        {" >/dev/full", std::strerror(ENOSPC)},
        {" >&-", std::strerror(EBADF)},
        {" --help >/dev/full", std::strerror(ENOSPC)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.redirection);
        const Result result = run(std::string("--resolution 16 --steps 1") + c.redirection);
        EXPECT_EQ(result.code, 1);
        EXPECT_EQ(result.err.substr(result.err.find("quellmar-run:")),
                  "quellmar-run: cannot write to standard output: " + c.message + "\n");
    }
}

// A file that fails only after the last step, as a FIFO without a reader does, fails the run, but
// both lines of its result are printed first.
TEST_F(RunHost, FileThatFailsAfterTheRunKeepsItsResult) {
    ASSERT_EQ(mkfifo(file("fifo").c_str(), 0600), 0);
    const Result result = run("--resolution 16 --steps 3 --fields '" + file("fifo") + "'");
    EXPECT_EQ(result.code, 1);
    EXPECT_EQ(result.err, "quellmar-run: Cannot write export file.\n");
    ASSERT_EQ(result.out.size(), 2u);
    EXPECT_EQ(json::parse(result.out[0])["steps"], 3);
    EXPECT_EQ(json::parse(result.out[1])["steps_run"], 3);
}

// 256 steps of 2^-7 land exactly on the end time 2 with the first chunk; the second chunk takes no
// step and its reply repeats the first one's GPU time, which must not count twice.
TEST_F(RunHost, MeasuresOnlyTheStepsTaken) {
    const Result result = run("--resolution 16 --fixed-dt 0.0078125 --until 2 --steps 600");
    ASSERT_EQ(result.code, 0) << result.err;
    ASSERT_EQ(result.out.size(), 2u);
    const json statistics = json::parse(result.out[0]);
    EXPECT_EQ(statistics["steps"], 256);
    const json timing = json::parse(result.out[1]);
    EXPECT_EQ(timing["steps_run"], 256);
    EXPECT_NEAR(timing["gpu_ms_per_step"].get<double>() * 256, statistics["gpu_milliseconds"].get<double>(),
                1e-5 * statistics["gpu_milliseconds"].get<double>());
}

TEST_F(RunHost, WarmUpByTimeFollowsTheWarmUpStepsAndIsNotMeasured) {
    const Result result = run("--resolution 16 --warmup 5 --warmup-seconds 0.2 --steps 7");
    ASSERT_EQ(result.code, 0) << result.err;
    ASSERT_EQ(result.out.size(), 2u);
    EXPECT_GE(json::parse(result.out[0])["steps"].get<int>(), 5 + 16 + 7);
    EXPECT_EQ(json::parse(result.out[1])["steps_run"], 7);
}

TEST_F(RunHost, WarmUpStepsComeFirstAndAreNotMeasured) {
    const Result result = run("--resolution 16 --warmup 5 --steps 7");
    ASSERT_EQ(result.code, 0) << result.err;
    ASSERT_EQ(result.out.size(), 2u);
    EXPECT_EQ(json::parse(result.out[0])["steps"], 12);
    EXPECT_EQ(json::parse(result.out[1])["steps_run"], 7);
}

TEST_F(RunHost, HelpPrintsTheUsageAndSucceeds) {
    for (const std::string arguments : {"--help", "--resolution 16 --help --bogus"}) {
        SCOPED_TRACE(arguments);
        const Result result = run(arguments);
        EXPECT_EQ(result.code, 0);
        ASSERT_FALSE(result.out.empty());
        EXPECT_EQ(result.out[0].rfind("usage: quellmar-run ", 0), 0u) << result.out[0];
        EXPECT_EQ(result.err, "");
        std::string help;
        for (const std::string& line : result.out) help += line + "\n";
        // The defaults a run takes, what goes where, how it ends and where the files are described.
        for (const char* part : {"(default 1024)", "(default 100;", "(default 27898.36614974335)", "(default etdrk4)",
                                 "Standard output gets two JSON lines", "Standard error gets a progress line",
                                 "Exit status: 0", "2 when it was refused before its first step",
                                 "1 when it failed otherwise", "checked before the first step",
                                 "docs/protocol.md"})
            EXPECT_NE(help.find(part), std::string::npos) << part;
    }
}

TEST_F(RunHost, VersionPrintsTheVersion) {
    const Result result = run("--version");
    EXPECT_EQ(result.code, 0);
    EXPECT_EQ(result.out, std::vector<std::string>{"quellmar-run " QUELLMAR_VERSION});
    EXPECT_EQ(result.err, "");
}

// Whatever the host or the library refuses before the first step exits with 2 and nothing on
// standard output: an option is named with the reason where the host can tell it, a refused
// configuration reads as the library answered it, and the help is pointed to.
TEST_F(RunHost, RefusedRunsExitWithAMessage) {
    struct Case {
        std::string arguments;
        int code;
        std::string message;  // the start of stderr
    };
    const Case cases[] = {
        {"--bogus 1", 2, refused("--bogus: unknown option")},
        {"--steps", 2, refused("--steps: needs a value")},
        {"--resolution 16 --steps abc", 2, refused("--steps: 'abc' is not a count of steps (decimal digits)")},
        {"--resolution 16 --steps 3x", 2, refused("--steps: '3x' is not a count of steps (decimal digits)")},
        {"--resolution 16 --steps -5", 2, refused("--steps: '-5' is not a count of steps (decimal digits)")},
        {"--resolution 16 --steps ' 5'", 2, refused("--steps: ' 5' is not a count of steps (decimal digits)")},
        {"--resolution 16 --steps +5", 2, refused("--steps: '+5' is not a count of steps (decimal digits)")},
        {"--resolution 16 --steps ''", 2, refused("--steps: '' is not a count of steps (decimal digits)")},
        // Beyond the engine's int step count, which would otherwise keep only the low 32 bits.
        {"--resolution 16 --steps 99999999999999999999", 2,
         refused("--steps: '99999999999999999999' is too large: at most 2147483647 steps")},
        {"--resolution 16 --steps 2147483648", 2, refused("--steps: '2147483648' is too large: at most 2147483647 steps")},
        {"--resolution 16 --warmup 99999999999", 2,
         refused("--warmup: '99999999999' is too large: at most 2147483647 steps")},
        {"--resolution 16 --warmup 4294967297", 2,
         refused("--warmup: '4294967297' is too large: at most 2147483647 steps")},
        {"--resolution 4294967312", 2, refused(test::invalidConfig)},
        {"--resolution 16 --k0 4294967300", 2, refused(test::invalidConfig)},
        {"--resolution 16 --until ' 1'", 2, refused("--until: ' 1' is not a simulation time")},
        {"--resolution 16 --steps 1 extra", 2, refused("extra: unknown option")},
        {"--resolution 16 --warmup -1", 2, refused("--warmup: '-1' is not a count of steps (decimal digits)")},
        {"--resolution 16 --warmup-seconds -1", 2,
         refused("--warmup-seconds: '-1' is not a finite number of seconds, 0 or more")},
        {"--resolution 16 --warmup-seconds 1e999", 2,
         refused("--warmup-seconds: '1e999' is not a finite number of seconds, 0 or more")},
        {"--resolution 16 --warmup-seconds soon", 2, refused("--warmup-seconds: 'soon' is not a number of seconds")},
        {"--resolution 16 --steps 1 --warmup", 2, refused("--warmup: needs a value")},
        {"--reynolds fast", 2, refused("--reynolds: 'fast' is not a number")},
        {"--resolution 33", 2, refused(test::invalidConfig)},
        {"--resolution 16 --integrator rk4", 2, refused("Unknown integrator: rk4")},
        {"--resolution 16 --seed -1", 2, refused(test::badSeed)},
        {"--resolution 16 --integrator \"$(printf '\\377')\"", 2,
         refused("--integrator: [json.exception.type_error.316] invalid UTF-8 byte at index 0: 0xFF")},
        {"--resolution 16 --initial '" + file("absent.bin") + "'", 2, refused(fileSystemError(file("absent.bin")))},
        {"--resolution 16 --reynolds 1e999", 2,
         refused("--reynolds: [json.exception.out_of_range.406] number overflow parsing '1e999'")},
        // The end time, asked of the engine in an advance of no step.
        {"--resolution 16 --until -1", 2, refused("--until: Invalid steps or endpoint.")},
        {"--resolution 16 --until 1e308", 2, refused("--until: Invalid steps or endpoint.")},
        {"--resolution 16 --until 1e999", 2,
         refused("--until: [json.exception.out_of_range.406] number overflow parsing '1e999'")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arguments);
        const Result result = run(c.arguments);
        EXPECT_EQ(result.code, c.code);
        EXPECT_EQ(result.err, c.message);
        EXPECT_TRUE(result.out.empty());
        EXPECT_TRUE(result.progress.empty());
    }
}

// Every file of a run is checked before its first step, and the check leaves no file behind: a
// path that names a folder, one in a missing folder (directly or at the end of a link) or one
// the file system refuses is refused with the reason, whatever else the run would have done.
TEST_F(RunHost, OutputFilesAreCheckedBeforeTheFirstStep) {
    std::filesystem::create_directory(folder / "out");
    std::filesystem::create_symlink("absent/spectrum.bin", folder / "out" / "dangling");
    std::filesystem::create_symlink("made.bin", folder / "out" / "link");
    const std::string out = (folder / "out").string();
    const std::string longName(NAME_MAX + 1, 'x');
    struct Case {
        std::string option;
        std::string path;
        std::string reason;
    };
    const Case cases[] = {
        {"--spectrum", file("absent/spectrum.bin"), std::strerror(ENOENT)},
        {"--fields", out, std::strerror(EISDIR)},
        {"--png", out + "/dangling", std::strerror(ENOENT)},
        {"--spectrum", out + "/link/spectrum.bin", std::strerror(ENOENT)},
        {"--fields", out + "/" + longName, std::strerror(ENAMETOOLONG)},
        {"--spectrum", "", std::strerror(ENOENT)},
        // A descriptor of the host's that is not open.
        {"--fields", "/dev/fd/9", std::strerror(EBADF)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.option + " " + c.path);
        // Beside a file that can be written, which stays unwritten.
        const Result result =
            run("--resolution 16 --steps 3 --fields '" + out + "/fields.bin' " + c.option + " '" + c.path + "'");
        EXPECT_EQ(result.code, 2);
        EXPECT_EQ(result.err, refused(c.option + ": '" + c.path + "' cannot be written: " + c.reason));
        EXPECT_TRUE(result.out.empty());
        EXPECT_TRUE(result.progress.empty());
    }
    // A name the host cannot write as JSON text, which the library could not be asked for.
    const Result notText = run("--resolution 16 --steps 3 --png \"" + out + "/$(printf '\\377').png\"");
    EXPECT_EQ(notText.code, 2);
    EXPECT_EQ(notText.err, refused("--png: [json.exception.type_error.316] invalid UTF-8 byte at index " +
                                   std::to_string(out.size() + 1) + ": 0xFF"));
    // A refused configuration or end time is found after the files passed their check, and leaves
    // none of them behind.
    for (const std::string refusal : {"--resolution 33", "--until -1"}) {
        SCOPED_TRACE(refusal);
        EXPECT_EQ(run("--resolution 16 --spectrum '" + out + "/spectrum.bin' --fields '" + out + "/link' " + refusal).code, 2);
    }
    EXPECT_EQ(test::entries(folder / "out"), (std::vector<std::string>{"dangling", "link"}));
    // The link to a missing file in a folder that exists passes, and the run makes its file.
    const Result linked = run("--resolution 16 --steps 1 --fields '" + out + "/link'");
    EXPECT_EQ(linked.code, 0) << linked.err;
    EXPECT_EQ(std::filesystem::file_size(folder / "out" / "made.bin"), 12u * 16 * 16);
}

// The host's own standard output as the spectrum file: the spectrum goes out through the host's
// descriptor, before its statistics lines, which its buffered output holds back until the end,
// whether standard output is a file or a pipe.
TEST_F(RunHost, SpectrumIntoTheHostsOwnStandardOutput) {
    const std::string arguments = "--resolution 16 --steps 2 --reynolds 1000";
    ASSERT_EQ(run(arguments + " --spectrum '" + file("spectrum.bin") + "'").code, 0);
    const test::Bytes spectrum = test::readBytes(file("spectrum.bin"));
    ASSERT_EQ(spectrum.size(), 8u * 16 * 16);
    for (const char* into : {" >'", " | cat >'"}) {
        SCOPED_TRACE(into);
        test::output("'" QM_RUN "' " + arguments + " --spectrum /dev/stdout 2>'" + file("stderr.txt") + "'" + into +
                     file("stdout.bin") + "'");
        // Standard error holds the progress lines alone.
        const test::Bytes errors = test::readBytes(file("stderr.txt"));
        std::istringstream errorLines(std::string(errors.begin(), errors.end()));
        for (std::string line; std::getline(errorLines, line);) EXPECT_EQ(line.rfind("step ", 0), 0u) << line;
        const test::Bytes out = test::readBytes(file("stdout.bin"));
        ASSERT_GT(out.size(), spectrum.size());
        EXPECT_EQ(test::Bytes(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(spectrum.size())), spectrum);
        std::istringstream text(std::string(out.begin() + static_cast<std::ptrdiff_t>(spectrum.size()), out.end()));
        std::string statistics, timing, more;
        std::getline(text, statistics);
        std::getline(text, timing);
        EXPECT_FALSE(std::getline(text, more));
        EXPECT_EQ(json::parse(statistics)["steps"], 2);
        EXPECT_EQ(json::parse(timing)["steps_run"], 2);
    }
}

}  // namespace
