#include "cuda_check.hpp"

#include <stdexcept>
#include <string>

void cudaCheck(cudaError error, const char* call) {
    if (error == cudaSuccess) return;
    throw std::runtime_error(std::string(call) + ": " + cudaGetErrorString(error));
}
