#include "solver/cuda/cuda_check.hpp"

#include <stdexcept>
#include <string>

void cudaCheck(cudaError error, const char* call) {
    if (error == cudaSuccess) return;
    // The runtime also keeps the failure as the thread's pending error; it is reported here, so a
    // later launch check must not report it a second time.
    cudaGetLastError();
    throw std::runtime_error(std::string(call) + ": " + cudaGetErrorString(error));
}

void cudaIgnore(cudaError error) {
    if (error != cudaSuccess) cudaGetLastError();
}
