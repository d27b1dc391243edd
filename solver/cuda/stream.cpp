#include "solver/cuda/stream.hpp"

#include "solver/cuda/cuda_check.hpp"

namespace mirel {

Stream::Stream() {
    cudaCheck(cudaStreamCreateWithFlags(&value, cudaStreamNonBlocking),
              "cudaStreamCreateWithFlags(&value,cudaStreamNonBlocking)");
}

Stream::~Stream() {
    cudaIgnore(cudaStreamSynchronize(value));
    cudaIgnore(cudaStreamDestroy(value));
}

}  // namespace mirel
