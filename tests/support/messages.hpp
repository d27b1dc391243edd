#pragma once

// The error texts that tests of more than one interface expect, written out here once, as a
// host meets them, and never taken from the code under test.
#include <string>
#include <vector>

namespace test {

// A request or configuration that is not a JSON object.
inline const std::string noObject = "Expected a JSON object.";

// The configuration checks, the same for every road by which a configuration arrives.
inline const std::string invalidConfig =
    "Invalid resolution, Reynolds number, k0, CFL, fixed timestep, method or start spectrum.";
inline const std::string invalidCNAB2 =
    "CNAB2 requires a power-of-two resolution, seed 1..5010, stress form and a representable positive viscosity.";
inline const std::string badSeed = "Seed must be UInt64.";
inline const std::string wavenumberTooLarge = "Initial wavenumber is too large.";
inline const std::string fixedDtNotPositive = "Fixed timestep must be positive.";

inline const std::string invalidLimits = "Invalid benchmark limits.";

// What a failed solver answers until a reset.
inline const std::string failedMessage = "The flow became non-finite or a GPU operation failed. Reset to recover.";

// What an engine made before qm_initialize answers: the FFT layer finds no driver device.
inline const std::string noDriverDevice = "Cannot select CUDA driver device.";

// Every error text that a host of libquellmar can meet, each as it begins where a value follows it
// (a name, a code, the system's or a library's message). The protocol page lists each of them.
inline const std::vector<std::string> hostErrorTexts = {
    // Any request.
    noObject, "type must be ", "number overflow parsing '", "Unknown ",
    // Initialisation and the driver loader.
    "QUELLMAR_DEVICE must be a nonnegative device index.", "Cannot locate the loaded CUDA NVRTC library.",
    "Cannot load matching CUDA NVRTC builtins: ", "Cannot load NVIDIA driver libcuda.so.1: ",
    "NVIDIA driver symbol unavailable: ", "CUDA driver initialization: ", "Cannot load WSL CUDA dependency: ",
    // Configuration and the initial file.
    badSeed, fixedDtNotPositive, invalidConfig, invalidCNAB2, wavenumberTooLarge,
    "Initial file must contain exactly N² Float32 samples.", "Cannot read initial file.",
    "filesystem error: cannot get file size: ",
    "Initial vorticity must contain exactly N² finite Float32 samples.",
    // Engines and solvers.
    "Closed engine.", "Unknown engine operation.", "Invalid steps or endpoint.", "Invalid CNAB2 step count or endpoint.",
    "Re must be finite and positive.", "CNAB2 Re must be finite and positive.", "CFL must be finite and positive.",
    "The solver encountered a non-finite field or timestep.", failedMessage,
    "Non-finite clock.", "Non-finite spectral diagnostics.", "Non-finite spectral reduction.", "Non-finite snapshot.",
    "Non-finite snapshot moments.", "CNAB2 nonfinite or zero timestep.", "CNAB2 nonfinite CFL maximum.",
    "Cannot write export file.", "PNG size must be 1 through 8192.",
    noDriverDevice, "VkFFT CUDA plan N=", "VkFFT CUDA append failed: ", "FFTW plan N=",
    // The interactive UI.
    "UI calls require the main thread.", "Closed UI.", "Canvas is already attached.", "Invalid X11 parent window.",
    "Unknown UI operation.", "Use the shared application Save dialog.", invalidLimits, "No completed frame.",
    "No native renderer.", "Renderer stopped.",
    // The renderer module.
    "GPU rendering was not built; install OpenGL/X11/libpng development files and rebuild, or use --headless.",
    "Cannot load Linux renderer: ", "Incompatible Linux rendering module.",
    "OpenGL rendering requires a local X11/Xwayland display (DISPLAY).", "X11 thread initialization failed.",
    "No OpenGL framebuffer configuration.", "No OpenGL visual.", "Cannot create the native OpenGL context.",
    "Native rendering needs OpenGL 3.3 or later.", "CUDA/OpenGL sharing is unavailable on this display: ",
    "OpenGL and CUDA selected different GPUs.", "The canvas window was destroyed.", "PNG framebuffer is incomplete.",
    "Shared OpenGL buffer is too small.", "Write PNG: ", "GLSL compile: ", "GLSL link: ", ": OpenGL error "};

}  // namespace test
