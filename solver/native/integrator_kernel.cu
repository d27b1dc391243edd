#include "mirel/solver.hpp"
#include "solver/cuda/device_math.hpp"
#include "solver/cuda/launch.hpp"
#include "solver/cuda/layout.hpp"
#include "solver/native/integrator_math.hpp"
#include "solver/native/kernels.hpp"
#include "solver/native/padded_velocity.hpp"

namespace mirel::kernels {
namespace {

using namespace integrator;

// The per-mode buffers of one integrator stage.
struct Stage {
    V2* w;
    V2* start;
    V2* first;
    V2* second;
    V2* predictor;
    float* q;  // coefficient plane p of mode i at q[p * modes + i]
    V2* compensation;
    unsigned i;
    unsigned modes;
    unsigned stage;
    float dt;
    float k2;
    float viscosity;
};

__device__ inline float& coefficient(const Stage& s, unsigned plane) { return s.q[plane * s.modes + s.i]; }

// Each stage returns the mode's new state.

// The coefficient of a three-stage scheme at `stage`, chosen by comparisons: a table indexed by
// the stage would sit in local memory, a stack frame of the kernel.
__device__ inline float byStage(unsigned stage, float first, float second, float third) {
    if (stage == 0) return first;
    if (stage == 1) return second;
    return third;
}

// Low-storage implicit-explicit RK3, viscous term by the trapezoidal rule.
__device__ inline V2 imexStage(const Stage& s, V2 nonlinear) {
    const float gamma = byStage(s.stage, 8.0f / 15.0f, 5.0f / 12.0f, 3.0f / 4.0f);
    const float zeta = byStage(s.stage, 0.0f, -17.0f / 60.0f, -5.0f / 12.0f);
    const float alpha = byStage(s.stage, 4.0f / 15.0f, 1.0f / 15.0f, 1.0f / 6.0f);
    const V2 w = s.w[s.i];
    const float c = (s.viscosity * (alpha * s.dt)) * s.k2;
    V2 g = gamma * nonlinear;
    if (s.stage > 0) g = g + zeta * s.first[s.i];
    const V2 delta = ((s.dt * g) - ((c + c) * w)) / (c + 1.0f);
    s.first[s.i] = nonlinear;
    return kahan(w, delta, s.compensation[s.i]);
}

// Heun's RK3 in integrating-factor form; e^x v is applied as v + (e^x - 1) v.
__device__ inline V2 heunStage(const Stage& s, V2 nonlinear) {
    const float f = (s.viscosity * s.dt) * s.k2;
    if (s.stage == 0) {
        const float x1 = f / -3.0f;
        const float x2 = (f * -2.0f) / 3.0f;
        const float z = -f;
        coefficient(s, 0) = x1 * phi(x1).phi1;
        coefficient(s, 1) = x2 * phi(x2).phi1;
        coefficient(s, 2) = phi(z).phi1 * z;
        s.start[s.i] = s.w[s.i];
        s.first[s.i] = nonlinear;
    }
    const float q0 = coefficient(s, 0);
    const V2 start = s.start[s.i];
    const V2 third = nonlinear + nonlinear * q0;
    if (s.stage == 0) return start + (((s.dt / 3.0f) * third) + q0 * start);
    if (s.stage == 1) return start + ((coefficient(s, 1) * start) + (((s.dt + s.dt) / 3.0f) * third));
    const float q2 = coefficient(s, 2);
    const V2 na = s.first[s.i];
    const V2 delta = ((q2 * start) + ((s.dt * 0.25f) * (na + q2 * na))) + (((s.dt * 3.0f) * 0.25f) * third);
    return kahan(start, delta, s.compensation[s.i]);
}

// Cox and Matthews' exponential time-differencing RK4.
__device__ inline V2 etdStage(const Stage& s, V2 nonlinear) {
    if (s.stage == 0) {
        const float f = (s.viscosity * s.dt) * s.k2;
        const float z = -f;
        const float half = f * -0.5f;
        const Phi p = phi(z);
        const float halfPhi1 = phi(half).phi1;
        coefficient(s, 0) = p.phi1 * z;
        coefficient(s, 1) = half * halfPhi1;
        coefficient(s, 2) = (s.dt * 0.5f) * halfPhi1;
        coefficient(s, 3) = s.dt * ((4.0f * p.phi3) + (p.phi1 + (-3.0f * p.phi2)));
        coefficient(s, 4) = s.dt * (p.phi2 - (p.phi3 + p.phi3));
        coefficient(s, 5) = s.dt * ((4.0f * p.phi3) - p.phi2);
        const V2 start = s.w[s.i];
        s.start[s.i] = start;
        s.first[s.i] = nonlinear;
        const V2 a = start + ((nonlinear * coefficient(s, 2)) + (coefficient(s, 1) * start));
        s.predictor[s.i] = a;
        return a;
    }
    if (s.stage == 1) {
        const V2 start = s.start[s.i];
        s.second[s.i] = nonlinear;
        return start + ((coefficient(s, 1) * start) + (nonlinear * coefficient(s, 2)));
    }
    if (s.stage == 2) {
        const V2 a = s.predictor[s.i];
        s.second[s.i] = nonlinear + s.second[s.i];
        return a + ((coefficient(s, 1) * a) + (coefficient(s, 2) * ((nonlinear + nonlinear) - s.first[s.i])));
    }
    const V2 start = s.start[s.i];
    const float q4 = coefficient(s, 4);
    const V2 delta = (((coefficient(s, 0) * start) + (coefficient(s, 3) * s.first[s.i])) + ((q4 + q4) * s.second[s.i])) +
                     (nonlinear * coefficient(s, 5));
    return kahan(start, delta, s.compensation[s.i]);
}

// The transformed products at mode (kx, ky), back in the normalisation of omega.
__device__ inline V2 nonlinearTerm(const V2* padded, int kx, int ky, const Params& p) {
    const int m = static_cast<int>(p.paddedResolution);
    const int columns = layout::paddedColumns(m);
    const unsigned j = static_cast<unsigned>(layout::row(ky, m) * columns + kx);
    const V2 p0 = padded[j];
    V2 term = p0;
    if (p.form == stress) {
        const V2 p1 = padded[j + static_cast<unsigned>(m * columns)];
        const float c = static_cast<float>(kx * ky);
        const float d = static_cast<float>(kx * kx - ky * ky);
        term = (p1 * d) - (p0 * c);
    }
    const float scale = static_cast<float>(p.resolution * p.resolution) /
                        static_cast<float>(p.paddedResolution * p.paddedResolution);
    return scale * term;
}

// Whether a later stage reads the state this stage leaves in omega: each stage of imexRK3 updates
// the state of the one before, the others build on their step's start value and predictor, so
// only their last stage's state is kept.
__device__ inline bool omegaIsRead(const Params& p) {
    return p.method == imexRK3 || p.stage + 1 == stageCount(p.method);
}

// One thread per mode of the half spectrum. Besides the stage, a thread leaves in the padded
// planes the velocity of its mode's new state, which the next stage (or the next step's first)
// transforms; with no step being taken, that of the state as it is.
__global__ void advanceStageKernel(V2* omega, V2* padded, V2* stepStart, V2* first, V2* second, V2* predictor,
                                   float* coefficients, ClockState* clock, V2* correction, Params p) {
    const int x = static_cast<int>(blockIdx.x * blockDim.x + threadIdx.x);
    const int y = static_cast<int>(blockIdx.y * blockDim.y + threadIdx.y);
    const int n = static_cast<int>(p.resolution);
    const int h = n / 2;
    if (x > h || y >= n) return;
    const int ky = layout::wavenumber(y, n);
    const unsigned i = static_cast<unsigned>(layout::halfColumns(n) * y + x);
    const bool active = layout::active(x, ky, h);
    const bool mean = x == 0 && ky == 0;
    if (clock->status == 0) {
        if (active || mean) storeVelocity(padded, x, ky, omega[i], p);
        return;
    }
    if (!active) {
        omega[i] = V2{0.0f, 0.0f};
        correction[i] = V2{0.0f, 0.0f};
        if (mean) storeVelocity(padded, x, ky, V2{0.0f, 0.0f}, p);
        return;
    }
    const Stage s{omega, stepStart, first, second, predictor, coefficients, correction, i,
                  static_cast<unsigned>(n * layout::halfColumns(n)), p.stage, clock->dt,
                  layout::squaredWavenumber(x, ky), p.viscosity};
    const V2 nonlinear = nonlinearTerm(padded, x, ky, p);
    const V2 w = p.method == imexRK3     ? imexStage(s, nonlinear)
                 : p.method == ifHeunRK3 ? heunStage(s, nonlinear)
                                         : etdStage(s, nonlinear);
    if (omegaIsRead(p)) omega[i] = w;
    storeVelocity(padded, x, ky, w, p);
    if (!finite(w.x) || !finite(w.y)) atomicExch(&clock->valid, 0u);
}

}  // namespace

void advanceStage(cudaStream_t stream, V2* omega, V2* padded, V2* stepStart, V2* first, V2* second,
                  V2* predictor, float* coefficients, ClockState* clock, V2* correction, const Params& params) {
    const unsigned n = params.resolution;
    launch(advanceStageKernel, tiles(n / 2 + 1, n), tile, stream, omega, padded, stepStart, first, second, predictor,
           coefficients, clock, correction, params);
}

}  // namespace mirel::kernels
