#include <cstddef>
#include <stdexcept>

#include "renderer/gl/gl_renderer.hpp"
#include "renderer/gl/stopwatch.hpp"
#include "solver/cuda/cuda_check.hpp"

namespace mirel {

RenderTiming Renderer::upload(const std::shared_ptr<Frame>& f) {
    RenderTiming timing;
    if (f == lastFrame) return timing;
    const Stopwatch clock;
    const int n = f->grid_size;
    const std::size_t bytes = Frame::bytes(n);

    if (n != registeredGridSize) {
        if (interop.get() != nullptr) {
            cudaCheck(interop.unregister(), "cudaGraphicsUnregisterResource(interop)");
            // Nothing is registered from here on, whatever the grid size of the next frame.
            registeredGridSize = 0;
        }
        glBindBuffer(GL_TEXTURE_BUFFER, buffer.get());
        glBufferData(GL_TEXTURE_BUFFER, static_cast<GLsizeiptr>(bytes), nullptr, GL_DYNAMIC_DRAW);
        glBindTexture(GL_TEXTURE_BUFFER, bufferTexture.get());
        glTexBuffer(GL_TEXTURE_BUFFER, GL_R32F, buffer.get());
        glCheck("Allocate shared field");
        cudaCheck(cudaGraphicsGLRegisterBuffer(interop.address(), buffer.get(), cudaGraphicsRegisterFlagsWriteDiscard),
                  "cudaGraphicsGLRegisterBuffer(&interop,buffer,cudaGraphicsRegisterFlagsWriteDiscard)");
        registeredGridSize = n;
    }

    cudaCheck(cudaGraphicsMapResources(1, interop.address(), stream.get()), "cudaGraphicsMapResources(1,&interop,stream)");
    try {
        void* pointer = nullptr;
        std::size_t available = 0;
        cudaCheck(cudaGraphicsResourceGetMappedPointer(&pointer, &available, interop.get()),
                  "cudaGraphicsResourceGetMappedPointer(&pointer,&available,interop)");
        if (available < bytes) throw std::runtime_error("Shared OpenGL buffer is too small.");
        cudaCheck(cudaMemcpyAsync(pointer, f->data(), bytes, cudaMemcpyDeviceToDevice, stream.get()),
                  "cudaMemcpyAsync(pointer,f->data(),bytes,cudaMemcpyDeviceToDevice,stream)");
        cudaCheck(cudaGraphicsUnmapResources(1, interop.address(), stream.get()), "cudaGraphicsUnmapResources(1,&interop,stream)");
    } catch (...) {
        cudaGraphicsUnmapResources(1, interop.address(), stream.get());
        cudaStreamSynchronize(stream.get());
        cudaGetLastError();
        throw;
    }
    try {
        cudaCheck(cudaStreamSynchronize(stream.get()), "cudaStreamSynchronize(stream)");
    } catch (...) {
        cudaStreamSynchronize(stream.get());
        cudaGetLastError();
        throw;
    }

    lastFrame = f;
    timing.uploadCount = 1;
    timing.uploadBytes = bytes;
    timing.upload = clock.seconds();
    return timing;
}

}  // namespace mirel
