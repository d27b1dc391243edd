#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "solver/cnab2/pao.hpp"

struct CUstream_st;

namespace mirel::legacy {

// Progress of a CNAB2 run.
struct Row {
    std::int32_t step = 0;
    double startTime = 0.0;
    double time = 0.0;
    double dt = 0.0;          // step size of the next step
    double ratio = 1.0;       // the last step-size factor of a time-step update
    double cflMaximum = 0.0;  // max over the padded grid of (|u| + |v|) / spacing
    double tauL = 0.0;        // the last large-eddy time
};

// Crank-Nicolson for viscosity, variable-step Adams-Bashforth 2 for the nonlinear term,
// pseudo-spectral with 3/2-rule padding, on a stream of its own.
class Solver {
public:
    explicit Solver(const Config& config);
    ~Solver();
    Solver(const Solver&) = delete;
    Solver& operator=(const Solver&) = delete;

    const InitialField& initial() const;
    Row initialRow() const;
    CUstream_st* stream() const;
    void setReynolds(double reynolds);
    void setCFL(float cfl);

    using Callback = std::function<void(const Row&)>;
    // Steps up to endStep, stopping at the end time until; updates the step size at step 1 and
    // every config.update steps (and at endStep when report is set), calling back there.
    Row advanceTo(int endStep, std::optional<double> until, bool report, const Callback& callback);
    Row advance(const Callback& callback);
    Row advanceSteps(int steps, std::optional<double> until);

    // dst (N rows of columns values) := scale * vorticity; columns from N/2 on are zeroed.
    void copySpectrumTo(Complex* dst, int columns, float scale) const;
    // vorticity := scale * src, then the run restarts from it at step 0 and time 0.
    void loadSpectrum(const Complex* src, int columns, float scale);

    std::vector<float> velocity() const;
    std::vector<Complex> spectrum() const;
    std::vector<Complex> history() const;
    std::size_t fftBytes() const;
    std::size_t allocatedBytes() const;

    struct Impl;

private:
    std::unique_ptr<Impl> impl;
};

}  // namespace mirel::legacy
