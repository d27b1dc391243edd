// A command-line host of libquellmar: creates a headless engine, advances it, prints the final
// statistics as JSON and the cost per step, and writes the spectrum and fields files and a PNG of
// the final field when asked. Uses only the public C interface.
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <iterator>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "quellmar/quellmar.h"

namespace {

using nlohmann::json;

// Steps per advance: the solver's batch, so that a chunk is one batch and one GPU time.
constexpr long chunkSteps = 256;
constexpr long warmupChunkSteps = 16;

// Steps run on the GPU and what they cost.
struct Cost {
    long steps = 0;
    double wallSeconds = 0;
    double gpuMilliseconds = 0;
};

// An option that goes into the engine's configuration under `key`: as a string, or as the number
// that its text reads.
struct EngineOption {
    const char* option;
    const char* key;
    bool quoted;
};

constexpr EngineOption engineOptions[] = {
    {"--resolution", "resolution", false},
    {"--k0", "k0", false},
    {"--seed", "seed", true},
    {"--reynolds", "reynolds", false},
    {"--cfl", "cfl", false},
    {"--integrator", "integrator", true},
    {"--operator", "operator", true},
    {"--start-spectrum", "start_spectrum", true},
    {"--fixed-dt", "fixed_dt", false},
    {"--initial", "initial", true},
};

struct Setting {
    const EngineOption* option;
    const char* value;
};

struct Settings {
    std::vector<Setting> engine;  // each key once, where it first came
    long steps = -1;              // -1 until --steps gives it
    bool stepsKnown = true;       // false where --until alone ends the run
    long warmup = 0;
    double warmupSeconds = 0;
    const char* until = nullptr;
    const char* spectrum = nullptr;
    const char* fields = nullptr;
    const char* png = nullptr;
};

// Exits with a failed run's message, as plain text like every other failure.
[[noreturn]] void fail(const std::string& message) {
    std::fprintf(stderr, "quellmar-run: %s\n", message.c_str());
    std::exit(1);
}

// The statistics are the run's result: a standard output that cannot take them fails the run.
[[noreturn]] void lostOutput() { fail(std::string("cannot write to standard output: ") + std::strerror(errno)); }

void print(const std::string& line) {
    if (std::fputs(line.c_str(), stdout) < 0 || std::fputc('\n', stdout) == EOF) lostOutput();
}

// Flushes and closes standard output, where a full disk or a closed pipe shows at the latest.
void finishOutput() {
    if (std::fflush(stdout) != 0 || std::fclose(stdout) != 0) lostOutput();
}

[[noreturn]] void finish(const char* text) {
    print(text);
    finishOutput();
    std::exit(0);
}

constexpr const char* usage =
    "usage: quellmar-run [OPTION VALUE]...\n"
    "       quellmar-run --help | --version\n"
    "Runs decaying two-dimensional turbulence on a headless libquellmar engine, prints the final\n"
    "statistics and the cost per step, and writes the files asked for.\n"
    "\n"
    "The flow (each default is the library's):\n"
    "  --resolution N         grid of N x N points, even, 16 to 16384 (default 1024)\n"
    "  --k0 K                 peak wavenumber of the start spectrum (default 4)\n"
    "  --seed S               seed of the start spectrum (default 2)\n"
    "  --reynolds RE          Reynolds number (default 27898.36614974335)\n"
    "  --cfl C                CFL number (default 3, or 0.25 for CNAB2)\n"
    "  --integrator NAME      imexRK3, ifHeunRK3, etdrk4 or CNAB2 (default etdrk4)\n"
    "  --operator NAME        stress or advective (default stress)\n"
    "  --start-spectrum NAME  PAO or KM3 (default PAO)\n"
    "  --fixed-dt DT          a fixed time step (default: adaptive)\n"
    "  --initial FILE         start from this vorticity file instead of the start spectrum\n"
    "The run:\n"
    "  --warmup N             warm-up steps, not measured (default 0)\n"
    "  --warmup-seconds S     further warm-up steps until S seconds have passed (default 0)\n"
    "  --steps N              measured steps (default 100; with --until, as many as it takes)\n"
    "  --until T              end at simulation time T (default: no end time)\n"
    "Files written after the last step, each checked before the first step: an existing file\n"
    "must be writable, a new one must be possible in its folder (formats in docs/protocol.md,\n"
    "installed in share/doc/quellmar/):\n"
    "  --spectrum FILE        the spectrum file\n"
    "  --fields FILE          the fields file (vorticity and velocity)\n"
    "  --png FILE             the final vorticity as an 1800 x 1800 picture; needs an X display\n"
    "                         with OpenGL 3.3, which is checked before the first step\n"
    "\n"
    "Standard output gets two JSON lines: the statistics of the final flow, as the \"inspect\"\n"
    "request answers them, then {\"steps_run\":N,\"wall_ms_per_step\":MS,\"gpu_ms_per_step\":MS};\n"
    "both come before the files are written, so a file that fails then loses neither.\n"
    "Standard error gets a progress line after each chunk of up to 256 steps (step count,\n"
    "simulation time, energy, enstrophy, elapsed wall time and, where the number of steps is\n"
    "known, the estimated time left), a note when --steps ran out before --until was reached,\n"
    "and the message of a failure.\n"
    "The cost per step covers the --steps N, which follow the --warmup N and then further\n"
    "warm-up steps until --warmup-seconds S have passed. It is measured over the chunks in which\n"
    "every step was taken, when there is one: steps after the --until time is reached still run\n"
    "on the GPU, but take no step.\n"
    "\n"
    "Exit status: 0 when the run succeeded; 2 when it was refused before its first step (an\n"
    "option, a configuration that the library refuses or cannot build, a --until time that it\n"
    "refuses, an output file that cannot be written, a picture that cannot be drawn), with the\n"
    "reason on standard error; 1 when it failed otherwise (the library's or the system's\n"
    "message on standard error): the library cannot be initialised, a step fails, or a file\n"
    "fails after the last step.";

// Refuses the run before its first step, for the reason given.
[[noreturn]] void refuseRun(const std::string& why) {
    std::fprintf(stderr, "quellmar-run: %s\nRun 'quellmar-run --help' for the options.\n", why.c_str());
    std::exit(2);
}

// Refuses the run for the reason given, naming the option at fault.
[[noreturn]] void refuse(const std::string& option, const std::string& why) { refuseRun(option + ": " + why); }

std::string quoted(const char* value) { return std::string("'") + value + "'"; }

// A step count: decimal digits only, as strict as the other numeric options (strtol alone would
// take leading blanks and a sign), and no more than the engine's int step count can hold.
long count(const char* option, const char* value) {
    const auto digits = [&] { refuse(option, quoted(value) + " is not a count of steps (decimal digits)"); };
    if (*value < '0' || *value > '9') digits();
    char* end = nullptr;
    errno = 0;
    const long steps = std::strtol(value, &end, 10);
    if (*end != '\0') digits();
    if (errno == ERANGE || steps > std::numeric_limits<std::int32_t>::max())
        refuse(option, quoted(value) + " is too large: at most " +
                           std::to_string(std::numeric_limits<std::int32_t>::max()) + " steps");
    return steps;
}

// Follows the JSON reader through one text. A number beyond the range of a double is still a
// number here, though the reader refuses it: the run is refused for it with the reader's own
// message, which the library would answer.
class NumberReader : public json::json_sax_t {
public:
    explicit NumberReader(const std::string& text) : text(text) {}
    bool overflowed = false;

    bool number_integer(json::number_integer_t) override { return true; }
    bool number_unsigned(json::number_unsigned_t) override { return true; }
    bool number_float(json::number_float_t, const json::string_t&) override { return true; }
    bool null() override { return false; }
    bool boolean(bool) override { return false; }
    bool string(json::string_t&) override { return false; }
    bool binary(json::binary_t&) override { return false; }
    bool start_object(std::size_t) override { return false; }
    bool key(json::string_t&) override { return false; }
    bool end_object() override { return false; }
    bool start_array(std::size_t) override { return false; }
    bool end_array() override { return false; }
    bool parse_error(std::size_t, const std::string& token, const json::exception& error) override {
        constexpr int numberOverflow = 406;
        overflowed = error.id == numberOverflow && token == text;
        return false;
    }

private:
    const std::string& text;
};

// Whether text is one JSON number and nothing else. The reader would skip blanks and a byte order
// mark around it, which a numeric option does not take.
bool isNumber(const std::string& text) {
    const auto digit = [](char c) { return c >= '0' && c <= '9'; };
    if (text.empty() || !(text.front() == '-' || digit(text.front())) || !digit(text.back())) return false;
    NumberReader reader(text);
    return json::sax_parse(text, &reader) || reader.overflowed;
}

// Options that the host reads itself, beside those of the engine's configuration.
constexpr const char* runOptions[] = {"--steps", "--warmup", "--warmup-seconds", "--until",
                                      "--spectrum", "--fields", "--png"};

Settings parse(int argc, char** argv) {
    Settings s;
    for (int i = 1; i < argc; i += 2) {
        const std::string name = argv[i];
        if (name == "--help") finish(usage);
        if (name == "--version") finish("quellmar-run " QUELLMAR_VERSION);
        const EngineOption* option = std::find_if(std::begin(engineOptions), std::end(engineOptions),
                                                  [&](const EngineOption& o) { return name == o.option; });
        const bool known = option != std::end(engineOptions) ||
                           std::find(std::begin(runOptions), std::end(runOptions), name) != std::end(runOptions);
        if (!known) refuse(name, "unknown option");
        if (i + 1 >= argc) refuse(name, "needs a value");
        const char* value = argv[i + 1];
        const auto number = [&](const char* what) {
            if (!isNumber(value)) refuse(name, quoted(value) + " is not " + what);
        };
        if (option != std::end(engineOptions)) {
            if (!option->quoted) number("a number");
            // A repeated option replaces its earlier value, so the request holds each key once.
            const auto slot = std::find_if(s.engine.begin(), s.engine.end(), [&](const Setting& e) { return e.option == option; });
            if (slot != s.engine.end())
                slot->value = value;
            else
                s.engine.push_back({option, value});
        } else if (name == "--steps") {
            s.steps = count(argv[i], value);
        } else if (name == "--warmup") {
            s.warmup = count(argv[i], value);
        } else if (name == "--warmup-seconds") {
            number("a number of seconds");
            s.warmupSeconds = std::strtod(value, nullptr);
            if (*value == '-' || !std::isfinite(s.warmupSeconds))
                refuse(name, quoted(value) + " is not a finite number of seconds, 0 or more");
        } else if (name == "--until") {
            number("a simulation time");
            s.until = value;
        } else if (name == "--spectrum") {
            s.spectrum = value;
        } else if (name == "--fields") {
            s.fields = value;
        } else {
            s.png = value;
        }
    }
    return s;
}

// An option's value as JSON: the string it gives, or the number its text reads. A text that is
// not UTF-8, or a number too large for a double, refuses the run, naming the option: the host
// could not write the request that carries it.
json optionValue(const char* option, const char* value, bool quoted) {
    try {
        json result = quoted ? json(value) : json::parse(value);
        static_cast<void>(result.dump());
        return result;
    } catch (const json::exception& failure) {
        refuse(option, failure.what());
    }
}

// The part of path before its last slash ("." where it has none, "/" for a file in the root), and
// the part after it.
std::string folderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/"
                                                         : path.substr(0, slash);
}

std::string nameOf(const std::string& path) { return path.substr(path.rfind('/') + 1); }

bool sameFile(const std::string& a, const char* b) {
    struct stat first, second;
    return stat(a.c_str(), &first) == 0 && stat(b, &second) == 0 && first.st_dev == second.st_dev &&
           first.st_ino == second.st_ino;
}

// Where a write into path lands: one of the host's own descriptors, which the library writes
// through (a name in /proc/self/fd, where /dev/stdout and /dev/fd lead), or else the file at the
// end of the chain of symbolic links that path starts, which it replaces. The host sees the
// library only through its C interface, so it follows the links itself, as the library does:
// each link's text relative to its own folder, at most 40 of them as the kernel does.
struct Destination {
    std::string path;
    int descriptor = -1;
};

Destination destinationOf(std::string path) {
    constexpr int linkLimit = 40;
    for (int followed = 0; followed <= linkLimit; ++followed) {
        const std::string folder = folderOf(path), name = nameOf(path);
        if (sameFile(folder, "/proc/self/fd") || sameFile(folder, "/proc/thread-self/fd")) {
            char* end = nullptr;
            const long number = std::strtol(name.c_str(), &end, 10);
            if (!name.empty() && *end == '\0' && number >= 0 && number <= std::numeric_limits<int>::max())
                return {path, static_cast<int>(number)};
            return {path};
        }
        std::vector<char> target(PATH_MAX);
        const ssize_t length = readlink(path.c_str(), target.data(), target.size());
        if (length <= 0 || static_cast<std::size_t>(length) == target.size()) return {path};
        std::string next(target.data(), static_cast<std::size_t>(length));
        path = next.front() == '/' || path.find('/') == std::string::npos ? next : folderOf(path) + "/" + next;
    }
    return {path};
}

// Why the library could not write a file at path, or nothing where it can: through one of the
// host's descriptors that is open for writing, into an existing file the user may write, or as a
// new file in the folder where the path ends. That folder is tried with an unnamed file, which
// leaves nothing behind; where the file system has none, its permissions tell.
std::optional<std::string> unwritable(const std::string& path) {
    const auto reason = [](int error) { return std::optional<std::string>(std::strerror(error)); };
    if (path.empty()) return reason(ENOENT);
    const Destination destination = destinationOf(path);
    if (destination.descriptor >= 0) {
        const int flags = fcntl(destination.descriptor, F_GETFL);
        if (flags < 0 || (flags & O_ACCMODE) == O_RDONLY) return reason(EBADF);
        return std::nullopt;
    }
    struct stat status;
    if (stat(destination.path.c_str(), &status) == 0) {
        if (S_ISDIR(status.st_mode)) return reason(EISDIR);
        if (faccessat(AT_FDCWD, destination.path.c_str(), W_OK, AT_EACCESS) != 0) return reason(errno);
        return std::nullopt;
    }
    if (errno != ENOENT) return reason(errno);
    const std::string folder = folderOf(destination.path);
    const int unnamed = open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    if (unnamed >= 0) {
        close(unnamed);
        return std::nullopt;
    }
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return reason(errno);
    if (faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) != 0) return reason(errno);
    return std::nullopt;
}

// Every file the run is to write, checked before its first step, so that a long run does not end
// in a file it could never have written.
void checkOutputs(const Settings& s) {
    for (const auto& [option, path] : {std::pair{"--spectrum", s.spectrum}, {"--fields", s.fields}, {"--png", s.png}}) {
        if (path == nullptr) continue;
        optionValue(option, path, true);
        if (const std::optional<std::string> why = unwritable(path)) refuse(option, quoted(path) + " cannot be written: " + *why);
    }
}

// The engine's configuration, each option's value read in the order given.
json configuration(const std::vector<Setting>& settings) {
    json request = json::object();
    for (const Setting& setting : settings)
        request[setting.option->key] = optionValue(setting.option->option, setting.value, setting.option->quoted);
    return request;
}

// The folder of the loaded libquellmar, where the renderer module lies beside it; empty when the
// loader cannot tell.
std::string libraryFolder() {
    Dl_info info;
    if (dladdr(reinterpret_cast<void*>(&qm_initialize), &info) == 0 || info.dli_fname == nullptr) return {};
    const std::string library = info.dli_fname;
    const std::size_t slash = library.rfind('/');
    return slash != std::string::npos ? library.substr(0, slash) : std::string();
}

double seconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// A reply of the library: its text as it came, and what it says.
struct Reply {
    std::string text;
    json value;
};

// Takes over a reply of the library. The library answers NULL only when it cannot allocate the
// reply.
Reply taken(char* answer) {
    if (answer == nullptr) fail("out of memory");
    const std::unique_ptr<char, void (*)(char*)> owned(answer, qm_string_free);
    return {answer, json::parse(answer)};
}

// The message of a reply that is an error object.
std::optional<std::string> errorOf(const Reply& reply) {
    if (!reply.value.contains("error")) return std::nullopt;
    return reply.value["error"].get<std::string>();
}

// Takes over a reply of the library and exits with the message of an error object.
Reply checked(char* answer) {
    Reply reply = taken(answer);
    if (const std::optional<std::string> error = errorOf(reply)) fail(*error);
    return reply;
}

Reply call(void* engine, const json& request) { return checked(qm_engine_call(engine, request.dump().c_str())); }

// What one advance did: the step count it reached, the GPU time of its steps, and the wall time
// of the call alone.
struct Advanced {
    long steps;
    double gpuMilliseconds;
    double wallSeconds;
};

// Advances by `steps` steps, or fewer where the end time comes first.
Advanced advance(void* engine, long steps, const char* until) {
    json request = {{"op", "advance"}, {"steps", steps}};
    if (until != nullptr) request["until"] = json::parse(until);
    const std::string text = request.dump();
    const double begin = seconds();
    char* answer = qm_engine_call(engine, text.c_str());
    const double wall = seconds() - begin;
    const json reply = checked(answer).value;
    return {reply.at("steps").get<long>(), reply.at("gpu_milliseconds").get<double>(), wall};
}

// One line on standard error after a chunk: where the flow is, the wall time since the first step,
// and, where the number of steps is known, the time left at the pace of the measured steps so far.
// The statistics of "advance" are those of the last inspection, so the flow is inspected here.
void progress(void* engine, const Settings& s, long steps, double elapsed, long measured, double measuring) {
    const json flow = call(engine, {{"op", "inspect"}}).value;
    std::fprintf(stderr, "step %ld  t=%.6g  energy=%.9g  enstrophy=%.9g  elapsed=%.3gs", steps,
                 flow.at("simulation_time").get<double>(), flow.at("energy").get<double>(),
                 flow.at("enstrophy").get<double>(), elapsed);
    if (s.stepsKnown && measured > 0)
        std::fprintf(stderr, "  left=%.3gs", measuring / static_cast<double>(measured) * static_cast<double>(s.steps - measured));
    std::fputc('\n', stderr);
}

using OwnedEngine = std::unique_ptr<void, void (*)(void*)>;

// The engine of the run; a configuration that the library refuses, or cannot build, refuses the
// run.
OwnedEngine created(const Settings& s) {
    char* error = nullptr;
    OwnedEngine engine(qm_engine_create(configuration(s.engine).dump().c_str(), &error), qm_engine_destroy);
    if (engine == nullptr) {
        const std::string message = error != nullptr ? error : "cannot create the engine";
        qm_string_free(error);
        refuseRun(message);
    }
    return engine;
}

// Asks the library before the first step what it could refuse only later; its refusal refuses
// the run, naming option.
void askFirst(void* engine, const json& request, const char* option) {
    if (const std::optional<std::string> error = errorOf(taken(qm_engine_call(engine, request.dump().c_str()))))
        refuse(option, *error);
}

// The end time, in an advance of no step, and the picture: one pixel, into a file that takes any
// bytes, goes through the display, the renderer module and the drawing as the real one will.
void checkRun(void* engine, const Settings& s) {
    if (s.until != nullptr)
        askFirst(engine, {{"op", "advance"}, {"steps", 0}, {"until", optionValue("--until", s.until, false)}}, "--until");
    if (s.png != nullptr) askFirst(engine, {{"op", "export"}, {"png", "/dev/null"}, {"pixel_size", 1}}, "--png");
}

int run(const Settings& s) {
    checked(qm_initialize(libraryFolder().c_str()));
    const OwnedEngine owned = created(s);
    void* const engine = owned.get();
    checkRun(engine, s);

    const double started = seconds();
    // Steps done so far, the warm-up included.
    long done = 0;
    if (s.warmup > 0) done = advance(engine, s.warmup, s.until).steps;
    // Warm-up by time, so that clocks and caches settle however long a step takes; an end time
    // reached here ends it.
    for (const double begin = seconds(); seconds() - begin < s.warmupSeconds;) {
        const long steps = advance(engine, warmupChunkSteps, s.until).steps;
        const long advanced = steps - done;
        done = steps;
        if (advanced < warmupChunkSteps) break;
    }
    const long warmed = done;
    const double warmedAt = seconds();
    // Chunks in which every step was taken, and the chunk that reached the end time: its later
    // steps ran but took no step, so it counts only where no whole chunk was run. A call that takes
    // no step at all reports the GPU time of an earlier one, which counts nowhere.
    Cost whole, last;
    bool endReached = false;
    while (done - warmed < s.steps) {
        const long left = s.steps - (done - warmed);
        const long chunk = std::min(left, chunkSteps);
        const Advanced reached = advance(engine, chunk, s.until);
        const long advanced = reached.steps - done;
        done = reached.steps;
        const double now = seconds();
        progress(engine, s, done, now - started, done - warmed, now - warmedAt);
        if (advanced == chunk) {
            whole = {whole.steps + chunk, whole.wallSeconds + reached.wallSeconds,
                     whole.gpuMilliseconds + reached.gpuMilliseconds};
            continue;
        }
        if (advanced > 0) last = {chunk, reached.wallSeconds, reached.gpuMilliseconds};
        endReached = true;
        break;
    }
    const Cost measured = whole.steps > 0 ? whole : last;

    const Reply final = call(engine, {{"op", "inspect"}});
    const double time = final.value.at("simulation_time").get<double>();
    // The run succeeds all the same: it did the steps asked for.
    if (s.until != nullptr && !endReached && time < json::parse(s.until).get<double>())
        std::fprintf(stderr, "quellmar-run: --steps %ld ran out at t=%.6g, before --until %s\n", s.steps, time, s.until);
    print(final.text);
    const double perStep = measured.steps > 0 ? 1.0 / static_cast<double>(measured.steps) : 0.0;
    char timing[160];
    std::snprintf(timing, sizeof timing, "{\"steps_run\":%ld,\"wall_ms_per_step\":%.6g,\"gpu_ms_per_step\":%.6g}",
                  done - warmed, measured.wallSeconds * 1e3 * perStep, measured.gpuMilliseconds * perStep);
    print(timing);
    // The files come after both lines, so that a file that fails now loses nothing of the run's
    // result. Standard output is not flushed meanwhile: where it is a file or a pipe, a file
    // written into standard output itself comes before the lines.
    json exported = {{"op", "export"}};
    for (const auto& [key, path] : {std::pair{"spectrum", s.spectrum}, {"fields", s.fields}, {"png", s.png}})
        if (path != nullptr) exported[key] = path;
    if (exported.size() > 1) {
        const Reply reply = taken(qm_engine_call(engine, exported.dump().c_str()));
        if (const std::optional<std::string> error = errorOf(reply)) {
            finishOutput();
            fail(*error);
        }
    }
    finishOutput();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    // A closed standard output would be taken by the first file the library opens, and the
    // statistics written into that file.
    if (fcntl(STDOUT_FILENO, F_GETFD) == -1) lostOutput();
    Settings s = parse(argc, argv);
    checkOutputs(s);
    if (s.steps < 0) {
        s.stepsKnown = s.until == nullptr;
        s.steps = s.stepsKnown ? 100 : 2147483647L;
    }
    // Whatever fails in the host itself (its memory, say) fails the run with its message.
    try {
        return run(s);
    } catch (const std::exception& failure) {
        fail(failure.what());
    }
}
