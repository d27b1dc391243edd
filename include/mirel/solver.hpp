#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "mirel/export.hpp"

struct CUstream_st;

namespace mirel {

// Names of the Config index fields, in index order.
QM_EXPORT extern const char* const methods[4];
QM_EXPORT extern const char* const forms[2];
QM_EXPORT extern const char* const startSpectra[2];

// Values of Config::method and Config::form. The fields stay plain indices so that a
// configuration can hold, and be refused for, a value outside these.
enum Integrator : std::uint32_t { imexRK3 = 0,
                                  ifHeunRK3 = 1,
                                  etdrk4 = 2,
                                  CNAB2 = 3 };
enum NonlinearForm : std::uint32_t { stress = 0,
                                     advective = 1 };

struct Config {
    std::int32_t resolution = 1024;
    std::int32_t k0 = 4;
    std::uint64_t seed = 2;
    double reynolds = 27898.36614974335;
    float cfl = 3.0f;
    float fixedDt = 0.0f;
    std::uint32_t method = etdrk4;
    std::uint32_t form = stress;
    std::uint32_t startSpectrum = 0;
};

struct Statistics {
    std::uint64_t steps = 0;
    double simulationTime = 0.0;
    double energy = 0.0;
    double enstrophy = 0.0;
    double palinstrophy = 0.0;
    double palinstrophyRatio = 0.0;
    double reynolds = 0.0;
    double initialTurnoverTime = 0.0;
    double gpuMilliseconds = 0.0;
    float dt = 0.0f;
    std::uint64_t allocatedBytes = 0;
    std::uint64_t fftBytes = 0;
};

// One spectral coefficient: two consecutive floats, the layout of the spectrum file.
struct Complex {
    float re;
    float im;
};

// A physical-space snapshot on the device, shared by its holders and never changed once made.
// Its storage is one of the solver's three frame slots: three N x N float planes, vorticity,
// then the velocity components u and v (zeros when velocity was not requested).
struct Frame {
    std::shared_ptr<void> storage;
    std::int32_t grid_size = 0;
    std::int64_t steps = 0;
    double time = 0.0;
    float max_vorticity = 0.0f;
    float mean_vorticity = 0.0f;
    float std_vorticity = 0.0f;
    float max_speed = 0.0f;
    bool velocity = false;

    float* data() const { return static_cast<float*>(storage.get()); }

    // The size of the storage of a frame of grid size n.
    static constexpr std::uint64_t bytes(std::int32_t n) {
        return 3 * sizeof(float) * static_cast<std::uint64_t>(n) * static_cast<std::uint64_t>(n);
    }
};

// The pseudo-spectral solver of one flow, on the current CUDA device. Used by one thread at a
// time. A non-finite flow or a failed GPU operation leaves it failed until a successful reset.
class QM_EXPORT Solver {
public:
    // initial: empty (the generated start spectrum) or N*N vorticity samples, row-major.
    explicit Solver(Config config, const std::vector<float>& initial = {});
    ~Solver();
    Solver(const Solver&) = delete;
    Solver& operator=(const Solver&) = delete;

    const Config& configuration() const;
    CUstream_st* stream() const;
    Statistics statistics() const;
    void setReynolds(double reynolds);
    void setCFL(float cfl);

    // Runs up to steps whole time steps, fewer when the end time until is reached first.
    Statistics advance(int steps, std::optional<double> until = std::nullopt);
    // Fresh energy, enstrophy and palinstrophy of the current field.
    Statistics inspect();
    // The field in a free frame slot, with u and v when velocity is set; null when all three
    // slots are held.
    std::shared_ptr<Frame> snapshot(bool velocity);
    // The host copy of a frame's three planes.
    std::vector<float> readFrame(const Frame& frame);
    // The full N x N spectrum, Hermitian-completed and scaled by 1/N^2.
    std::vector<Complex> spectrum();
    void reset(const std::vector<float>& initial);

    struct QM_HIDDEN Impl;

private:
    friend struct SolverInternals;  // lets tests of the internals reach the state
    std::unique_ptr<Impl> impl;
};

// Throws std::invalid_argument unless the solver can be built from config.
void validate(const Config& config);

}  // namespace mirel
