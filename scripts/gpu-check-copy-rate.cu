// The device-to-device copy rate of the GPU, for the GPU check: the median of five timed copies
// of 1 GiB, as bytes read plus bytes written per second. Prints {"copy_bytes_per_second":...}.
#include <algorithm>
#include <cstdio>
#include <vector>

#include <cuda_runtime.h>

int main() {
    const size_t bytes = size_t(1) << 30;
    void* from = nullptr;
    void* to = nullptr;
    cudaEvent_t begin, end;
    if (cudaMalloc(&from, bytes) != cudaSuccess || cudaMalloc(&to, bytes) != cudaSuccess ||
        cudaEventCreate(&begin) != cudaSuccess || cudaEventCreate(&end) != cudaSuccess)
        return 1;
    cudaMemcpy(to, from, bytes, cudaMemcpyDeviceToDevice);  // the first copy maps the pages
    std::vector<float> ms(5);
    for (float& m : ms) {
        cudaEventRecord(begin);
        cudaMemcpy(to, from, bytes, cudaMemcpyDeviceToDevice);
        cudaEventRecord(end);
        cudaEventSynchronize(end);
        cudaEventElapsedTime(&m, begin, end);
    }
    if (cudaGetLastError() != cudaSuccess) return 1;
    std::sort(ms.begin(), ms.end());
    std::printf("{\"copy_bytes_per_second\":%.6g}\n", 2.0 * double(bytes) / (double(ms[2]) * 1e-3));
    return 0;
}
