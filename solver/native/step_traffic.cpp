#include "solver/native/step_traffic.hpp"

#include "mirel/solver.hpp"
#include "solver/cuda/kernel_records.hpp"
#include "solver/cuda/reduction_shape.hpp"
#include "solver/native/integrator_math.hpp"

namespace mirel {
namespace {

// Bytes of the integrator's own buffers per active mode in each stage of advanceStage: omega,
// the compensation, the step's start value, the nonlinear terms, the predictor and the
// coefficient planes, read or written (a coefficient written in a stage and read back is
// counted once).
constexpr std::uint64_t stageBytes[3][4] = {
    {40, 48, 48, 0},   // imexRK3: w, compensation, previous term; stage 0 reads no previous term
    {36, 16, 48, 0},   // ifHeunRK3
    {56, 24, 40, 64},  // etdrk4
};

// The clock's fields that the kernels of an ordinary step touch, all of them floats but the count of
// steps (the step that lands on the end time writes the time pair without reading it).
// selectTimeStep reads the valid flag, the time pair and the last unclipped step, and writes the
// speed, the status, that step and the step; commitStep reads the status, the flag, the time pair,
// the step and the count, and writes the pair and the count; advanceStage reads the status and
// the step.
constexpr std::uint64_t word = sizeof(float);
constexpr std::uint64_t count = sizeof(std::uint64_t);
constexpr std::uint64_t selectClock = 4 * word + 4 * word;
constexpr std::uint64_t commitClock = 5 * word + count + 2 * word + count;
constexpr std::uint64_t stageClock = 2 * word;

}  // namespace

StepTraffic stepTraffic(int n, std::uint32_t method, std::uint32_t form) {
    const std::uint64_t h = static_cast<std::uint64_t>(n) / 2;
    const std::uint64_t m = 3 * h;
    const std::uint64_t modes = static_cast<std::uint64_t>(n) * (h + 1);
    // Padded modes outside the zero band (kx < h, |ky| < h), of which all but the mean are kept.
    const std::uint64_t unbanded = (static_cast<std::uint64_t>(n) - 1) * h;
    const std::uint64_t active = unbanded - 1;
    const std::uint64_t inverse = form == stress ? 2 : 4;   // planes of velocity (and gradient)
    const std::uint64_t products = form == stress ? 2 : 1;  // planes of products
    const std::uint64_t realPlane = 4 * m * m;
    const unsigned stages = integrator::stageCount(method);

    StepTraffic t{0, 0, 2 * stages + 2, 2 * stages};
    // An axis pass of a transform reads and writes the columns kx < h in the rows it covers.
    const std::uint64_t perPlane = 8 * unbanded + 16 * h * m + realPlane;
    t.fftBytes = stages * (inverse + products) * perPlane;
    // reduceCFLAndProducts or nonlinearProducts; the speed partials; selectTimeStep and commitStep.
    t.kernelBytes =
        stages * (inverse + products) * realPlane + 2 * reductionBlocks * sizeof(V2) + selectClock + commitClock;
    for (unsigned stage = 0; stage < stages; ++stage) {
        // advanceStage: the clock, the products of the active modes, the velocity of every unbanded
        // mode, the cleared omega and compensation of the others, and the integrator's buffers.
        t.kernelBytes += stageClock + 8 * products * active + 8 * inverse * unbanded + 16 * (modes - active) +
                         stageBytes[method][stage] * active;
    }
    return t;
}

}  // namespace mirel
