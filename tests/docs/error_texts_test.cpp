// The error tables of the host's protocol page, as one table of cases: each case meets a text of a
// row through the C interface under the condition that the row names, and the reply must be the
// text (or begin with it, where the page writes a value after it). Every text of the page has a
// case, or a line of `unmet` saying why no test can bring it about, or stands in a row that says
// no host meets it; a row added without one fails here.
//
// The emulator build builds this file twice: error_texts_emulator_test runs the cases that need
// the emulator (its fault injection, its stand-in driver, Mesa's client library), and
// error_texts_test the others and the check of the table against the page. Under ctest every case
// runs in a process of its own. Run as one program, the cases run in table order; those that load
// the renderer module come last, since once loaded it serves the process to its end.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <limits>
#include <ostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "docs/protocol_page.hpp"
#include "quellmar/quellmar.h"
#include "renderer/environment_variable.hpp"
#include "renderer/private_display.hpp"
#include "renderer/x_session.hpp"
#include "support/engine_fixture.hpp"
#include "support/file_bytes.hpp"
#include "support/process.hpp"
#include "support/replies.hpp"
#include "support/temp_folder.hpp"
#include "support/two_pi.hpp"
#include "support/ui_fixture.hpp"
#if defined(QUELLMAR_EMULATOR)
#include <quellmar_emulator/control.hpp>
#endif

namespace {

using nlohmann::json;
using test::EnvironmentVariable;

// What a case needs beyond the (emulated) device; the emulator's cases run in the emulator test.
enum Needs : unsigned {
    device = 0,
    display = 1,             // an X display (DISPLAY); skipped without one
    emulator = 2,            // the emulator build's own behaviour
    rendererModule = 4,      // a library built with its renderer module
    noRendererModule = 8,    // a library built without it
    noInstalledDriver = 16,  // a machine without an NVIDIA driver of its own
};

// The message of one request, or of the last of several.
using Meet = std::function<std::string()>;

struct Case {
    const char* table;      // the page's table, as the paragraph before it names it
    const char* text;       // the text, as the row writes it between backticks
    const char* condition;  // the row's condition, as these requests meet it
    unsigned needs;
    Meet meet;
};

// A case as test names show it.
std::ostream& operator<<(std::ostream& out, const Case& c) { return out << c.condition; }

// The error text of a reply; the reply itself when it is no error object.
std::string errorText(const std::string& reply) {
    const json parsed = json::parse(reply, nullptr, false);
    return parsed.is_object() && parsed.contains("error") ? parsed["error"].get<std::string>() : reply;
}

// The error_message of a status report; empty when it has none.
std::string errorMessage(const json& report) {
    return test::hasError(report) ? report["error_message"].get<std::string>() : "";
}

// The suite's start of the library (a resources folder without the renderer module) and its way
// of stopping a render thread, for the cases.
struct Library : test::UITest {
    using UITest::capabilities;
    using UITest::closedByRenderer;
    using UITest::resources;
};

// qm_initialize's error; empty when it answered the capability document.
std::string initialized(const char* resources = Library::resources) {
    return test::errorOf(json::parse(test::taken(qm_initialize(resources))));
}

// qm_engine_create's error for a configuration text (null: NULL), or "(created)".
Meet creation(const char* configuration) {
    return [configuration] {
        char* error = nullptr;
        void* engine = qm_engine_create(configuration, &error);
        qm_engine_destroy(engine);
        return engine != nullptr ? std::string("(created)") : test::taken(error);
    };
}

// An engine of configuration, and the error of the last of requests (null: NULL) sent to it.
Meet engine(const json& configuration, std::vector<const char*> requests) {
    return [configuration, requests] {
        const test::Engine created(configuration);
        std::string message;
        for (const char* request : requests) message = errorText(test::callText(created.get(), request));
        return message;
    };
}

// A UI handle, and the error of the last of requests sent to it.
Meet ui(std::vector<const char*> requests) {
    return [requests] {
        const test::UI handle;
        std::string message;
        for (const char* request : requests) message = errorText(test::uiText(handle.get(), request));
        return message;
    };
}

// qm_initialize's error with QUELLMAR_DEVICE set to value.
Meet initialization(const char* value) {
    return [value] {
        const EnvironmentVariable device("QUELLMAR_DEVICE", value);
        return initialized();
    };
}

// The last line that the probe prints, in a fresh process with environment before it (a shell's
// assignments or an env command), as the error text it holds.
Meet probe(std::string environment, std::string arguments) {
    return [environment, arguments] {
        std::istringstream lines(test::output(environment + " " + QM_PROBE + " " + arguments));
        std::string line, last;
        while (std::getline(lines, line)) last = line;
        return errorText(last);
    };
}

// A folder of the test's own that holds library as name, for the loader to find there.
std::string folderWith(const char* library, const char* name) {
    const std::filesystem::path folder = std::filesystem::current_path() / "libraries";
    std::filesystem::create_directories(folder);
    std::filesystem::copy_file(std::filesystem::canonical(library), folder / name,
                               std::filesystem::copy_options::overwrite_existing);
    return folder.string();
}

// n x n samples of amplitude * cos(2 pi x / n), row-major, as an initial vorticity file.
test::Bytes cosine(int n, float amplitude) {
    std::vector<float> samples(static_cast<std::size_t>(n) * n);
    for (std::size_t i = 0; i < samples.size(); ++i)
        samples[i] = amplitude * static_cast<float>(std::cos(test::twoPi * static_cast<double>(i % n) / n));
    return test::littleEndian(samples);
}

// then, once bytes are written to the file name (in the case's folder).
Meet withFile(const char* name, const test::Bytes& bytes, Meet then) {
    return [name, bytes, then] {
        test::writeBytes(name, bytes);
        return then();
    };
}

// The same with the renderer module in the resources folder, on the display of the environment.
Meet withRenderer(Meet then) {
    return [then] {
        const std::string failed = initialized(QM_RESOURCES);
        return failed.empty() ? then() : failed;
    };
}

// A UI handle on a 16 x 16 grid that has taken its first frame.
struct StartedUI {
    StartedUI() {
        ui({{"op", "configure"}, {"resolution", 16}});
        ui({{"op", "start"}});
        ui.await(test::isReady, "with a frame");
    }
    test::UI ui;
};

// The same, attached to a window of the display, its render thread drawing into it.
struct DrawingUI : StartedUI {
    DrawingUI() {
        ui.attach(x.hostWindow(64, 48));
        ui.await([](const json& r) { return r.contains("canvas") && r["canvas"]["visible"] == true; }, "drawing");
    }
    test::XSession x;
};

// The error of one request to a UI handle whose render thread stopped for want of its module;
// dismissed first, when asked.
Meet afterRendererStopped(bool dismissed) {
    return [dismissed] {
        const StartedUI started;
        Library::closedByRenderer(started.ui);
        if (dismissed) started.ui({{"op", "dismiss"}});
        return test::errorOf(started.ui({{"op", "start"}}));
    };
}

const json small = {{"resolution", 16}};
const json cnab2 = {{"resolution", 16}, {"integrator", "CNAB2"}, {"seed", 1}};
const json cnab2Explodes = {{"resolution", 16}, {"integrator", "CNAB2"}, {"seed", 1}, {"fixed_dt", 1e30}};
const char* const pngRequest = R"({"op":"export","png":"frame.png","pixel_size":16})";

const std::vector<Case> cases = {
    // Any request.
    {"Any request", "Expected a JSON object.", "the text is NULL", device, engine(small, {nullptr})},
    {"Any request", "Expected a JSON object.", "its value is not an object", device, creation("[1]")},
    {"Any request", "[json.exception.parse_error.101] parse error at line ", "the text is not JSON", device,
     engine(small, {"not json"})},
    {"Any request", "[json.exception.parse_error.101] parse error at line ", "it holds two values", device,
     ui({"{} {}"})},
    {"Any request", "[json.exception.out_of_range.406] number overflow parsing '", "a number beyond the double range",
     device, engine(small, {R"({"op":"set","reynolds":1e999})"})},
    {"Any request", "[json.exception.type_error.302] type must be ", "a key of the wrong type", device,
     engine(small, {R"({"op":"export","snapshot":1})"})},
    {"Any request", "[json.exception.type_error.302] type must be ", "an op of the wrong type", device,
     ui({R"({"op":5})"})},
    {"Any request", "Unknown ", "a name outside its table", device, creation(R"({"integrator":"rk4"})")},

    // Initialisation.
    {"Initialisation", "Cannot load matching CUDA NVRTC builtins: ", "the builtins are not beside NVRTC", device,
     [] { return probe("LD_LIBRARY_PATH=" + folderWith(QM_NVRTC_LIBRARY, QM_NVRTC_SONAME), "1")(); }},
    {"Initialisation", "Cannot load NVIDIA driver libcuda.so.1: ", "no NVIDIA driver", noInstalledDriver,
     probe("env -u LD_LIBRARY_PATH", "1")},
    {"Initialisation", "NVIDIA driver symbol unavailable: ", "a driver without cuInit", device,
     [] { return probe("LD_LIBRARY_PATH=" + folderWith(QM_NO_FACTORY, "libcuda.so.1"), "1")(); }},
    {"Initialisation", "CUDA driver initialization: ", "a driver without a device", emulator,
     probe("QM_EMULATOR_DEVICES=0", "1")},
    {"Initialisation", "QUELLMAR_DEVICE must be a nonnegative device index.", "QUELLMAR_DEVICE=abc", device,
     initialization("abc")},
    {"Initialisation", "QUELLMAR_DEVICE must be a nonnegative device index.", "QUELLMAR_DEVICE empty", device,
     initialization("")},
    {"Initialisation", "stoi", "QUELLMAR_DEVICE above 2147483647", device, initialization("2147483648")},
    {"Initialisation", "cudaSetDevice(deviceId): invalid device ordinal", "a device the machine does not have",
     device, initialization("1000000")},

    // Configuration.
    {"Configuration", "Seed must be UInt64.", "a negative seed", device, creation(R"({"seed":-1})")},
    {"Configuration", "stoull", "a seed string above 2^64 - 1", device,
     creation(R"({"seed":"18446744073709551616"})")},
    {"Configuration", "Fixed timestep must be positive.", "a fixed_dt that rounds to 0 in single precision", device,
     creation(R"({"resolution":16,"fixed_dt":1e-50})")},
    {"Configuration", "Invalid resolution, Reynolds number, k0, CFL, fixed timestep, method or start spectrum.",
     "an odd resolution", device, creation(R"({"resolution":15})")},
    {"Configuration", "Invalid resolution, Reynolds number, k0, CFL, fixed timestep, method or start spectrum.",
     "\"configure\" with a resolution beyond the int range", device,
     ui({R"({"op":"configure","resolution":4294967312})"})},
    {"Configuration",
     "CNAB2 requires a power-of-two resolution, seed 1..5010, stress form and a representable positive viscosity.",
     "a resolution that is not a power of two", device,
     creation(R"({"resolution":48,"integrator":"CNAB2","seed":1})")},
    {"Configuration",
     "CNAB2 requires a power-of-two resolution, seed 1..5010, stress form and a representable positive viscosity.",
     "a reynolds infinite in single precision", device,
     creation(R"({"resolution":16,"integrator":"CNAB2","seed":1,"reynolds":1e39})")},
    {"Configuration", "Initial wavenumber is too large.", "k0 above 1000000", device,
     creation(R"({"resolution":16,"k0":1000001})")},

    // The initial vorticity file.
    {"The initial vorticity file", "Cannot read initial file.", "a path that holds a NUL", device,
     creation(R"({"resolution":16,"initial":"short\u0000.bin"})")},
    {"The initial vorticity file", "filesystem error: cannot get file size: ", "a path that names nothing", device,
     creation(R"({"resolution":16,"initial":"missing.bin"})")},
    {"The initial vorticity file", "Initial file must contain exactly N² Float32 samples.", "a file of 8 x 8 samples",
     device, withFile("short.bin", cosine(8, 1.0f), creation(R"({"resolution":16,"initial":"short.bin"})"))},
    {"The initial vorticity file", "Initial file must contain exactly N² Float32 samples.",
     "\"reset\" with a file of 8 x 8 samples", device,
     withFile("short.bin", cosine(8, 1.0f), engine(small, {R"({"op":"reset","initial":"short.bin"})"}))},
    {"The initial vorticity file", "Initial vorticity must contain exactly N² finite Float32 samples.",
     "a NaN sample", device,
     withFile("nan.bin", cosine(16, std::numeric_limits<float>::quiet_NaN()),
              creation(R"({"resolution":16,"initial":"nan.bin"})"))},

    // Engines.
    {"Engines", "Closed engine.", "a NULL engine", device,
     [] { return errorText(test::taken(qm_engine_call(nullptr, R"({"op":"inspect"})"))); }},
    {"Engines", "Unknown engine operation.", "op missing", device, engine(small, {"{}"})},
    {"Engines", "Unknown engine operation.", "op not an operation", device, engine(small, {R"({"op":"bogus"})"})},
    {"Engines", "Invalid steps or endpoint.", "negative steps", device,
     engine(small, {R"({"op":"advance","steps":-1})"})},
    {"Engines", "Invalid steps or endpoint.", "steps beyond the int range", device,
     engine(small, {R"({"op":"advance","steps":1e10})"})},
    {"Engines", "Invalid steps or endpoint.", "an until beyond single precision", device,
     engine(small, {R"({"op":"advance","until":1e308})"})},
    {"Engines", "Invalid steps or endpoint.", "negative steps on CNAB2", device,
     engine(cnab2, {R"({"op":"advance","steps":-1})"})},
    {"Engines", "Invalid CNAB2 step count or endpoint.", "steps that carry the step count past 2147483647", device,
     engine(cnab2, {R"({"op":"advance"})", R"({"op":"advance","steps":2147483647})"})},
    {"Engines", "Re must be finite and positive.", "a reynolds whose 1/Re is infinite in single precision", device,
     engine(small, {R"({"op":"set","reynolds":1e-39})"})},
    {"Engines", "Re must be finite and positive.", "a negative reynolds on CNAB2", device,
     engine(cnab2, {R"({"op":"set","reynolds":-1})"})},
    {"Engines", "CNAB2 Re must be finite and positive.", "a reynolds infinite in single precision on CNAB2", device,
     engine(cnab2, {R"({"op":"set","reynolds":1e39})"})},
    {"Engines", "CFL must be finite and positive.", "a cfl that rounds to 0", device,
     engine(small, {R"({"op":"set","cfl":1e-50})"})},
    {"Engines", "CFL must be finite and positive.", "a cfl infinite in single precision on CNAB2", device,
     engine(cnab2, {R"({"op":"set","cfl":1e39})"})},
    {"Engines", "The solver encountered a non-finite field or timestep.", "a run that blew up", device,
     engine({{"resolution", 16}, {"fixed_dt", 3e38}}, {R"({"op":"advance"})"})},
    {"Engines", "The solver encountered a non-finite field or timestep.", "a step that overflows at creation",
     device, creation(R"({"resolution":16,"cfl":3e38})")},
    {"Engines", "Non-finite clock.", "a fixed_dt of 3e38 on a flow at rest", device,
     withFile("rest.bin", cosine(16, 0.0f),
              engine({{"resolution", 16}, {"fixed_dt", 3e38}, {"initial", "rest.bin"}},
                     {R"({"op":"advance","steps":2})"}))},
    {"Engines", "Non-finite spectral reduction.", "an initial cosine of amplitude 1e20", device,
     withFile("loud.bin", cosine(16, 1e20f), creation(R"({"resolution":16,"initial":"loud.bin"})"))},
    {"Engines", "Non-finite snapshot moments.", "a snapshot of a cosine of amplitude 2.5e19", device,
     withFile("loud.bin", cosine(16, 2.5e19f),
              engine({{"resolution", 16}, {"initial", "loud.bin"}}, {R"({"op":"export","snapshot":true})"}))},
    {"Engines", "Non-finite spectral diagnostics.", "\"inspect\" after a CNAB2 run blew up between its checks",
     device, engine(cnab2Explodes, {R"({"op":"advance","steps":3})", R"({"op":"inspect"})"})},
    {"Engines", "Non-finite snapshot.", "a snapshot after a CNAB2 run blew up between its checks", device,
     engine(cnab2Explodes, {R"({"op":"advance","steps":3})", R"({"op":"export","snapshot":true})"})},
    {"Engines", "CNAB2 nonfinite CFL maximum.", "a CNAB2 creation from a field beyond single precision", device,
     withFile("huge.bin", cosine(16, 1e38f),
              creation(R"({"resolution":16,"integrator":"CNAB2","seed":1,"initial":"huge.bin"})"))},
    {"Engines", "CNAB2 nonfinite or zero timestep.", "an until whose step rounds to 0", device,
     engine(cnab2, {R"({"op":"advance","until":1e-300})"})},
    {"Engines", "The flow became non-finite or a GPU operation failed. Reset to recover.",
     "\"inspect\" after the run blew up", device,
     engine({{"resolution", 16}, {"fixed_dt", 3e38}}, {R"({"op":"advance"})", R"({"op":"inspect"})"})},
    {"Engines", "The flow became non-finite or a GPU operation failed. Reset to recover.",
     "a spectrum after a refused CNAB2 step count", device,
     engine(cnab2, {R"({"op":"advance"})", R"({"op":"advance","steps":2147483647})",
                    R"({"op":"export","spectrum":"spectrum.bin"})"})},
    {"Engines", "Cannot select CUDA driver device.", "an engine created before qm_initialize", emulator,
     probe("", "0 engine")},
    {"Engines", "Cannot write export file.", "a spectrum in a folder that does not exist", device,
     engine(small, {R"({"op":"export","spectrum":"missing/spectrum.bin"})"})},
    {"Engines", "cudaSetDevice(deviceId): invalid device ordinal", "a call after qm_initialize named no device",
     device,
     [] {
         const test::Engine created(small);
         initialization("1000000")();
         return errorText(test::callText(created.get(), R"({"op":"inspect"})"));
     }},

    // UI.
    {"UI", "UI calls require the main thread.", "a call from another thread", device,
     [] {
         const test::UI handle;
         std::string message;
         std::thread([&] { message = errorText(test::uiText(handle.get(), R"({"op":"get"})")); }).join();
         return message;
     }},
    {"UI", "UI calls require the main thread.", "every call after a qm_initialize refused for QUELLMAR_DEVICE",
     device,
     [] {
         // The probe prints the refusal, the engine's creation, then the UI call's reply.
         const std::string output = test::output("QUELLMAR_DEVICE=abc " + std::string(QM_PROBE) + " 1 engine ui");
         const std::size_t engineLine = output.find("\ncreated\n");
         return engineLine == std::string::npos ? output : errorText(output.substr(engineLine + 9));
     }},
    {"UI", "Closed UI.", "a NULL handle", device, [] { return errorText(test::taken(qm_ui_call(nullptr, "{}"))); }},
    {"UI", "Canvas is already attached.", "a second qm_ui_attach", device,
     [] {
         const test::UI handle;
         handle.attach(7);
         return test::errorOf(handle.attach(8));
     }},
    {"UI", "Invalid X11 parent window.", "window 0", device,
     [] { return test::errorOf(test::UI().attach(0)); }},
    {"UI", "Unknown UI operation.", "op not an operation", device, ui({R"({"op":"bogus"})"})},
    {"UI", "Use the shared application Save dialog.", "\"save\"", device, ui({R"({"op":"save"})"})},
    {"UI", "Invalid benchmark limits.", "a batch of 33", device, ui({R"({"op":"benchmark","batch":33})"})},
    {"UI", "Invalid benchmark limits.", "negative wall_seconds", device,
     ui({R"({"op":"benchmark","wall_seconds":-1})"})},
    {"UI", "No completed frame.", "\"export\" before \"start\"", device, ui({R"({"op":"export"})"})},
    {"UI", "No native renderer.", "\"export\" with a frame on a handle that is not attached", device,
     [] { return test::errorOf(StartedUI().ui({{"op", "export"}})); }},
    {"UI", "Cannot load Linux renderer: ", "\"start\" after the render thread stopped", rendererModule,
     afterRendererStopped(false)},
    {"UI", "Renderer stopped.", "\"start\" after the render thread's message was dismissed", device,
     afterRendererStopped(true)},
    {"UI", "Initial file must contain exactly N² Float32 samples.", "a run from an initial file of 8 x 8 samples",
     device,
     withFile("short.bin", cosine(8, 1.0f),
              [] {
                  const test::UI handle;
                  handle({{"op", "configure"}, {"resolution", 16}});
                  handle({{"op", "benchmark"}, {"initial", "short.bin"}});
                  handle({{"op", "start"}});
                  return errorMessage(handle.await(test::hasError, "with the run's error"));
              })},

    // Renderer: the module is missing, or is no renderer module.
    {"Renderer",
     "GPU rendering was not built; install OpenGL/X11/libpng development files and rebuild, or use --headless.",
     "a PNG from a library built without the module", noRendererModule, engine(small, {pngRequest})},
    {"Renderer", "Cannot load Linux renderer: ", "a PNG with no module in the resources folder", rendererModule,
     engine(small, {pngRequest})},
    {"Renderer", "Incompatible Linux rendering module.", "a PNG with a module that has no factory", rendererModule,
     [] {
         initialized(folderWith(QM_NO_FACTORY, "libquellmar_gl.so").c_str());
         return engine(small, {pngRequest})();
     }},

    // The renderer module loads from here on.
    {"Renderer", "OpenGL rendering requires a local X11/Xwayland display (DISPLAY).", "a PNG without DISPLAY",
     rendererModule, withRenderer([] {
         const EnvironmentVariable none("DISPLAY", nullptr);
         return engine(small, {pngRequest})();
     })},
    {"Renderer", "No OpenGL framebuffer configuration.", "a PNG on a server without GLX", emulator | display,
     withRenderer([] {
         const test::PrivateDisplay server("320x240x24", {"-extension", "GLX"});
         const EnvironmentVariable name("DISPLAY", server.name.c_str());
         return engine(small, {pngRequest})();
     })},
    {"Renderer", "Cannot create the native OpenGL context.", "a PNG with LIBGL_ALWAYS_INDIRECT=1", emulator | display,
     withRenderer([] {
         const EnvironmentVariable indirect("LIBGL_ALWAYS_INDIRECT", "1");
         return engine(small, {pngRequest})();
     })},
    {"Renderer", "Native rendering needs OpenGL 3.3 or later.", "a PNG with MESA_GL_VERSION_OVERRIDE=3.2",
     emulator | display, withRenderer([] {
         const EnvironmentVariable older("MESA_GL_VERSION_OVERRIDE", "3.2");
         return engine(small, {pngRequest})();
     })},
    {"Renderer", "CUDA/OpenGL sharing is unavailable on this display: ", "a PNG whose cudaGLGetDevices fails",
     emulator | display, withRenderer([] {
         const test::Engine created(small);
#if defined(QUELLMAR_EMULATOR)
         emu::failCall("cudaGLGetDevices", 1, cudaErrorInvalidGraphicsContext);
#endif
         return errorText(test::callText(created.get(), pngRequest));
     })},
    {"Renderer", "The canvas window was destroyed.", "qm_ui_attach with a window the display does not have",
     display, withRenderer([] {
         test::XSession x;
         const Window gone = x.hostWindow(64, 48);
         XDestroyWindow(x.display, gone);
         XSync(x.display, False);
         const test::UI handle;
         handle.attach(gone);
         return errorMessage(handle.await(test::hasError, "with the render error"));
     })},
    {"Renderer", "Write PNG: ", "a PNG in a folder that does not exist", display,
     withRenderer(engine(small, {R"({"op":"export","png":"missing/frame.png","pixel_size":16})"}))},
    {"Engines", "PNG size must be 1 through 8192.", "a pixel_size of 0", display,
     withRenderer(engine(small, {R"({"op":"export","png":"frame.png","pixel_size":0})"}))},
    {"UI", "PNG size must be 1 through 8192.", "\"export\" with a pixel_size of 8193", display,
     withRenderer([] {
         return test::errorOf(DrawingUI().ui({{"op", "export"}, {"png", "frame.png"}, {"pixel_size", 8193}}));
     })},
    {"UI", "Cannot write export file.", "\"export\" of fields in a folder that does not exist", display,
     withRenderer([] { return test::errorOf(DrawingUI().ui({{"op", "export"}, {"fields", "missing/fields.bin"}})); })},
};

// Texts that a host can meet but no test can bring about, and why.
struct Unmet {
    const char* table;
    const char* text;
    const char* why;
};

const std::vector<Unmet> unmet = {
    {"Initialisation", "Cannot locate the loaded CUDA NVRTC library.", "only a broken NVRTC fails to name itself"},
    {"Initialisation", "Cannot load WSL CUDA dependency: ", "only under WSL, with a broken driver folder"},
    {"Engines", "VkFFT CUDA plan N=", "only a device that refuses VkFFT its resources"},
    {"Engines", "VkFFT CUDA append failed: ", "only a device that refuses VkFFT its resources"},
    {"Engines", "FFTW plan N=", "FFTW plans every size the solvers ask for"},
    {"Renderer", "X11 thread initialization failed.", "only an Xlib built without threads"},
    {"Renderer", "No OpenGL visual.", "only a display whose configuration has no visual"},
    {"Renderer", "OpenGL and CUDA selected different GPUs.", "a display on another GPU than device 0"},
    {"Renderer", "PNG framebuffer is incomplete.", "only a driver that refuses an RGBA8 texture"},
    {"Renderer", "Shared OpenGL buffer is too small.", "only a driver that maps less than it allocated"},
    {"Renderer", "GLSL compile: ", "only a driver that refuses the renderer's shaders"},
    {"Renderer", "GLSL link: ", "only a driver that refuses the renderer's shaders"},
    {"Renderer", "Read PNG pixels: OpenGL error 1285", "only a driver whose OpenGL call fails"},
};

const std::vector<docs::ErrorRow>& pageRows() {
    static const std::vector<docs::ErrorRow> rows = docs::errorRows(docs::pageText());
    return rows;
}

bool driverInstalled() { return test::output("/sbin/ldconfig -p").find("libcuda.so.1 ") != std::string::npos; }

bool noHostMeets(const docs::ErrorRow& row) { return row.when.rfind("no host meets it", 0) == 0; }

// The page's text that a case or an unmet line names, with its row; null when none or several.
const docs::ErrorText* rowText(const char* table, const char* text, const docs::ErrorRow** row = nullptr) {
    const docs::ErrorText* found = nullptr;
    int count = 0;
    for (const docs::ErrorRow& candidate : pageRows())
        for (const docs::ErrorText& written : candidate.texts)
            if (candidate.table == table && written.text == text) {
                found = &written;
                if (row != nullptr) *row = &candidate;
                ++count;
            }
    return count == 1 ? found : nullptr;
}

class PageErrorTexts : public Library, public ::testing::WithParamInterface<Case> {
protected:
    // The library starts in SetUp instead: a failure there fails the case, where one in the
    // suite's start would only skip every case.
    static void SetUpTestSuite() {}

    void SetUp() override {
        ASSERT_EQ(::chdir(scratch.root.c_str()), 0);
        // Each case starts from the library as the suite would, whatever the case before did.
        const json document = json::parse(test::taken(qm_initialize(resources)));
        ASSERT_EQ(test::errorOf(document), "");
        capabilities = document;
        const unsigned needs = GetParam().needs;
        const bool moduleBuilt = capabilities["capabilities"]["native_rendering"].get<bool>();
        if ((needs & display) != 0 && std::getenv("DISPLAY") == nullptr)
            GTEST_SKIP() << "needs an X display: DISPLAY is not set";
        if ((needs & rendererModule) != 0 && !moduleBuilt) GTEST_SKIP() << "the renderer module was not built";
        if ((needs & noRendererModule) != 0 && moduleBuilt) GTEST_SKIP() << "the renderer module was built";
        if ((needs & noInstalledDriver) != 0 && driverInstalled())
            GTEST_SKIP() << "this machine has an NVIDIA driver";
    }

    void TearDown() override {
#if defined(QUELLMAR_EMULATOR)
        emu::reset();
#endif
        ASSERT_EQ(::chdir("/"), 0);
    }

    const test::TempFolder scratch{"quellmar-error-texts"};
};

TEST_P(PageErrorTexts, AreWhatTheHostMeets) {
    const Case& c = GetParam();
    const docs::ErrorRow* row = nullptr;
    const docs::ErrorText* text = rowText(c.table, c.text, &row);
    ASSERT_NE(text, nullptr) << "no single row of \"" << c.table << "\" writes `" << c.text << "`";
    SCOPED_TRACE(std::string("line ") + std::to_string(row->line) + ": " + c.condition);
    EXPECT_FALSE(noHostMeets(*row)) << "the page says no host meets it";
    const std::string message = c.meet();
    if (text->valueFollows) {
        EXPECT_EQ(message.rfind(text->text, 0), 0u) << message;
        EXPECT_GT(message.size(), text->text.size()) << "no value after the text";
    } else {
        EXPECT_EQ(message, text->text);
    }
}

std::vector<Case> casesOfThisTest() {
    std::vector<Case> selected;
    for (const Case& c : cases)
        if (((c.needs & emulator) != 0) == (QM_EMULATOR_TABLE != 0)) selected.push_back(c);
    return selected;
}

// The table's name, then the first words of the text, in letters and digits.
std::string caseName(const ::testing::TestParamInfo<Case>& info) {
    std::string name;
    int words = 0;
    bool start = true;
    for (const char* part : {info.param.table, " ", info.param.text}) {
        for (const char* p = part; *p != '\0' && words < 6; ++p) {
            if (std::isalnum(static_cast<unsigned char>(*p)) == 0) {
                if (!start) ++words;
                start = true;
                continue;
            }
            name += start ? static_cast<char>(std::toupper(static_cast<unsigned char>(*p))) : *p;
            start = false;
        }
    }
    return name + "_" + std::to_string(info.index);
}

INSTANTIATE_TEST_SUITE_P(Rows, PageErrorTexts, ::testing::ValuesIn(casesOfThisTest()), caseName);

#if !QM_EMULATOR_TABLE
// Each case and unmet line names a text of a row that a host can meet, and each such text has one.
TEST(PageErrorTextTable, EveryTextOfThePageHasACase) {
    ASSERT_FALSE(pageRows().empty());
    const auto named = [](const docs::ErrorRow& row, const docs::ErrorText& text) {
        for (const Case& c : cases)
            if (row.table == c.table && text.text == c.text) return true;
        for (const Unmet& u : unmet)
            if (row.table == u.table && text.text == u.text) return true;
        return false;
    };
    for (const docs::ErrorRow& row : pageRows()) {
        EXPECT_FALSE(row.texts.empty()) << "line " << row.line << " writes no text";
        for (const docs::ErrorText& text : row.texts)
            EXPECT_NE(named(row, text), noHostMeets(row))
                << "line " << row.line << ": `" << text.text << "` "
                << (noHostMeets(row) ? "has a case, but no host meets it" : "has no case");
    }
    const auto meetable = [](const char* table, const char* text) {
        const docs::ErrorRow* row = nullptr;
        return rowText(table, text, &row) != nullptr && !noHostMeets(*row);
    };
    for (const Case& c : cases) EXPECT_TRUE(meetable(c.table, c.text)) << c.table << ": `" << c.text << "`";
    for (const Unmet& u : unmet) EXPECT_TRUE(meetable(u.table, u.text)) << u.table << ": `" << u.text << "`";
}
#endif

}  // namespace
