// A command-line host of libquellmar: creates a headless engine, advances it, prints the final
// statistics as JSON and the cost per step, and writes the spectrum and fields files and a PNG of
// the final field when asked. Uses only the public C interface.
#include <dlfcn.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <iterator>
#include <limits>
#include <memory>
#include <string>
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
    long steps = -1;
    long warmup = 0;
    double warmupSeconds = 0;
    const char* until = nullptr;
    const char* spectrum = nullptr;
    const char* fields = nullptr;
    const char* png = nullptr;
};

// Prints the usage to `out` and exits with `status`.
[[noreturn]] void usage(std::FILE* out, int status) {
    std::fputs(
        "usage: quellmar-run [--resolution N] [--k0 K] [--seed S] [--reynolds RE] [--cfl C]\n"
        "                    [--integrator imexRK3|ifHeunRK3|etdrk4|CNAB2] [--operator stress|advective]\n"
        "                    [--start-spectrum PAO|KM3] [--fixed-dt DT] [--initial FILE]\n"
        "                    [--warmup N] [--warmup-seconds S] [--steps N] [--until T] [--spectrum FILE]\n"
        "                    [--fields FILE] [--png FILE]\n"
        "       quellmar-run --help\n"
        "The cost per step covers the --steps N, which follow the --warmup N (default 0) and then\n"
        "further warm-up steps until --warmup-seconds S (default 0) have passed. It is measured over\n"
        "the chunks of up to 256 steps in which every step was taken, when there is one: steps after\n"
        "the --until time is reached still run on the GPU, but take no step.\n"
        "--png draws the final vorticity as a 1800 x 1800 picture; it needs an X display.\n",
        out);
    std::exit(status);
}

[[noreturn]] void refuse() { usage(stderr, 2); }

// Exits with a failed run's message, as plain text like every other failure.
[[noreturn]] void fail(const std::string& message) {
    std::fprintf(stderr, "quellmar-run: %s\n", message.c_str());
    std::exit(1);
}

// A step count: decimal digits only, as strict as the other numeric options (strtol alone would
// take leading blanks and a sign), and no more than the engine's int step count can hold.
long count(const char* option, const char* value) {
    if (*value < '0' || *value > '9') refuse();
    char* end = nullptr;
    errno = 0;
    const long steps = std::strtol(value, &end, 10);
    if (*end != '\0') refuse();
    if (errno == ERANGE || steps > std::numeric_limits<std::int32_t>::max()) {
        std::fprintf(stderr, "quellmar-run: %s must be 0 through %d.\n", option, std::numeric_limits<std::int32_t>::max());
        std::exit(2);
    }
    return steps;
}

// Follows the JSON reader through one text. A number beyond the range of a double is still a
// number here, though the reader refuses it: the run reports it where the library would.
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

Settings parse(int argc, char** argv) {
    Settings s;
    for (int i = 1; i < argc; i += 2) {
        if (std::strcmp(argv[i], "--help") == 0) usage(stdout, 0);
        if (i + 1 >= argc) refuse();
        const char* value = argv[i + 1];
        const EngineOption* option = std::find_if(std::begin(engineOptions), std::end(engineOptions),
                                                  [&](const EngineOption& o) { return std::strcmp(argv[i], o.option) == 0; });
        if (option != std::end(engineOptions)) {
            if (!option->quoted && !isNumber(value)) refuse();
            // A repeated option replaces its earlier value, so the request holds each key once.
            const auto slot = std::find_if(s.engine.begin(), s.engine.end(), [&](const Setting& e) { return e.option == option; });
            if (slot != s.engine.end())
                slot->value = value;
            else
                s.engine.push_back({option, value});
        } else if (std::strcmp(argv[i], "--steps") == 0) {
            s.steps = count("--steps", value);
        } else if (std::strcmp(argv[i], "--warmup") == 0) {
            s.warmup = count("--warmup", value);
        } else if (std::strcmp(argv[i], "--warmup-seconds") == 0) {
            if (!isNumber(value) || *value == '-') refuse();
            s.warmupSeconds = std::strtod(value, nullptr);
        } else if (std::strcmp(argv[i], "--until") == 0) {
            if (!isNumber(value)) refuse();
            s.until = value;
        } else if (std::strcmp(argv[i], "--spectrum") == 0) {
            s.spectrum = value;
        } else if (std::strcmp(argv[i], "--fields") == 0) {
            s.fields = value;
        } else if (std::strcmp(argv[i], "--png") == 0) {
            s.png = value;
        } else {
            refuse();
        }
    }
    return s;
}

// The engine's configuration. Numbers are read only now, in the order given, so that one too
// large for a double fails at the engine's creation, as the library would fail to read it.
json configuration(const std::vector<Setting>& settings) {
    json request = json::object();
    for (const Setting& setting : settings)
        request[setting.option->key] = setting.option->quoted ? json(setting.value) : json::parse(setting.value);
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

// Takes over a reply of the library and exits with the message of an error object. The library
// answers NULL only when it cannot allocate the reply.
Reply checked(char* answer) {
    if (answer == nullptr) fail("out of memory");
    const std::unique_ptr<char, void (*)(char*)> owned(answer, qm_string_free);
    Reply reply{answer, json::parse(answer)};
    if (reply.value.contains("error")) fail(reply.value["error"].get<std::string>());
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

int run(const Settings& s) {
    checked(qm_initialize(libraryFolder().c_str()));

    char* error = nullptr;
    const std::unique_ptr<void, void (*)(void*)> owned(
        qm_engine_create(configuration(s.engine).dump().c_str(), &error), qm_engine_destroy);
    if (owned == nullptr) fail(error != nullptr ? error : "cannot create the engine");
    void* const engine = owned.get();

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
    // Chunks in which every step was taken, and the chunk that reached the end time: its later
    // steps ran but took no step, so it counts only where no whole chunk was run. A call that takes
    // no step at all reports the GPU time of an earlier one, which counts nowhere.
    Cost whole, last;
    while (done - warmed < s.steps) {
        const long left = s.steps - (done - warmed);
        const long chunk = std::min(left, chunkSteps);
        const Advanced reached = advance(engine, chunk, s.until);
        const long advanced = reached.steps - done;
        done = reached.steps;
        if (s.steps > chunkSteps) {
            const json inspected = call(engine, {{"op", "inspect"}}).value;
            std::fprintf(stderr, "step %ld  t=%.6g  energy=%.9g  enstrophy=%.9g\n", reached.steps,
                         inspected.at("simulation_time").get<double>(), inspected.at("energy").get<double>(),
                         inspected.at("enstrophy").get<double>());
        }
        if (advanced == chunk) {
            whole = {whole.steps + chunk, whole.wallSeconds + reached.wallSeconds,
                     whole.gpuMilliseconds + reached.gpuMilliseconds};
            continue;
        }
        if (advanced > 0) last = {chunk, reached.wallSeconds, reached.gpuMilliseconds};
        break;  // the end time was reached
    }
    const Cost measured = whole.steps > 0 ? whole : last;

    std::puts(call(engine, {{"op", "inspect"}}).text.c_str());
    json exported = {{"op", "export"}};
    for (const auto& [key, path] : {std::pair{"spectrum", s.spectrum}, {"fields", s.fields}, {"png", s.png}})
        if (path != nullptr) exported[key] = path;
    if (exported.size() > 1) call(engine, exported);
    const double perStep = measured.steps > 0 ? 1.0 / static_cast<double>(measured.steps) : 0.0;
    std::printf("{\"steps_run\":%ld,\"wall_ms_per_step\":%.6g,\"gpu_ms_per_step\":%.6g}\n", done - warmed,
                measured.wallSeconds * 1e3 * perStep, measured.gpuMilliseconds * perStep);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Settings s = parse(argc, argv);
    if (s.steps < 0) s.steps = s.until != nullptr ? 2147483647L : 100;
    // What the host itself reads and writes as JSON fails here: a number too large for a double,
    // a text that is not UTF-8.
    try {
        return run(s);
    } catch (const std::exception& failure) {
        fail(failure.what());
    }
}
