#include "common/error_texts.hpp"
#include "runtime.hpp"

namespace {

// The runtime keeps one last error per host thread.
thread_local cudaError_t tLastError = cudaSuccess;

constexpr const char* kUnrecognized = "unrecognized error code";

}  // namespace

void emu::detail::recordError(cudaError_t error) { tLastError = error; }

QM_RUNTIME_CALL cudaError_t cudaGetLastError() {
  const cudaError_t error = tLastError;
  tLastError = cudaSuccess;
  return error;
}

QM_RUNTIME_CALL cudaError_t cudaPeekAtLastError() { return tLastError; }

QM_RUNTIME_CALL const char* cudaGetErrorString(cudaError_t error) {
  // The emulator fails racing work with this error; its text says which operations raced.
  const char* race = error == cudaErrorIllegalState ? emu::detail::raceReport() : nullptr;
  if (race != nullptr) return race;
  const auto* text = emu::texts::find(error);
  return text != nullptr ? text->description : kUnrecognized;
}

QM_RUNTIME_CALL const char* cudaGetErrorName(cudaError_t error) {
  const auto* text = emu::texts::find(error);
  return text != nullptr ? text->name : kUnrecognized;
}
