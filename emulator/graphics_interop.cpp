// CUDA/OpenGL sharing of buffer objects over the OpenGL context current on the calling thread.
//
// The emulated device's memory is host memory whose copies are checked against the live device
// allocations, so a registered buffer is stood for by a device allocation of the buffer's size:
// CUDA writes there while the resource is mapped, and unmapping moves those bytes into the
// buffer's own storage, mapped through OpenGL for the purpose. Only write-discard registrations
// are offered: CUDA never sees what OpenGL stored.

#include <dlfcn.h>

#include <cstddef>
#include <cstring>
#include <mutex>
#include <optional>
#include <set>

#include <cuda_gl_interop.h>

#include "runtime.hpp"

struct cudaGraphicsResource {
  GLuint buffer;
  void* block;
  std::size_t size;
  // The buffer's storage while the resource is mapped, else null.
  void* mapping;
};

namespace {

// The OpenGL entry points the sharing needs.
struct GL {
  void (*bufferParameter)(GLuint, GLenum, GLint*);
  void* (*mapRange)(GLuint, GLintptr, GLsizeiptr, GLbitfield);
  GLboolean (*unmap)(GLuint);
  GLboolean (*isBuffer)(GLuint);
};

template <typename Function>
bool resolve(void* (*lookup)(const GLubyte*), const char* name, Function& function) {
  function = reinterpret_cast<Function>(lookup(reinterpret_cast<const GLubyte*>(name)));
  return function != nullptr;
}

// The entry points when the calling thread has a current OpenGL context. The GL library is only
// looked for, never loaded: a process that has not loaded it has no context.
std::optional<GL> currentGL() {
  for (const char* library : {"libGLX.so.0", "libGL.so.1"}) {
    void* handle = dlopen(library, RTLD_NOW | RTLD_NOLOAD);
    if (handle == nullptr) continue;
    const auto current = reinterpret_cast<void* (*)()>(dlsym(handle, "glXGetCurrentContext"));
    const auto lookup = reinterpret_cast<void* (*)(const GLubyte*)>(dlsym(handle, "glXGetProcAddressARB"));
    dlclose(handle);
    if (current == nullptr || lookup == nullptr || current() == nullptr) return std::nullopt;
    GL gl;
    const bool complete = resolve(lookup, "glGetNamedBufferParameteriv", gl.bufferParameter) &&
                          resolve(lookup, "glMapNamedBufferRange", gl.mapRange) &&
                          resolve(lookup, "glUnmapNamedBuffer", gl.unmap) &&
                          resolve(lookup, "glIsBuffer", gl.isBuffer);
    if (!complete) return std::nullopt;
    return gl;
  }
  return std::nullopt;
}

class Resources {
 public:
  std::mutex mutex;

  bool live(cudaGraphicsResource* resource) const { return resources_.count(resource) == 1; }
  void add(cudaGraphicsResource* resource) { resources_.insert(resource); }
  void remove(cudaGraphicsResource* resource) { resources_.erase(resource); }

 private:
  std::set<cudaGraphicsResource*> resources_;
};

Resources& resources() {
  static Resources instance;
  return instance;
}

// Every resource of the list must be live, and mapped or not as asked.
cudaError_t checkList(const Resources& r, int count, const cudaGraphicsResource_t* list,
                      bool mapped) {
  if (count <= 0 || list == nullptr) return cudaErrorInvalidValue;
  for (int i = 0; i < count; ++i) {
    if (!r.live(list[i])) return cudaErrorInvalidResourceHandle;
    if ((list[i]->mapping != nullptr) != mapped) {
      return mapped ? cudaErrorNotMapped : cudaErrorAlreadyMapped;
    }
  }
  return cudaSuccess;
}

// Moves what CUDA wrote into the buffer and gives its storage back to OpenGL.
cudaError_t unmapOne(const GL& gl, cudaGraphicsResource* resource) {
  std::memcpy(resource->mapping, resource->block, resource->size);
  resource->mapping = nullptr;
  return gl.unmap(resource->buffer) == GL_TRUE ? cudaSuccess : cudaErrorUnmapBufferObjectFailed;
}

cudaError_t registerBuffer(cudaGraphicsResource** resource, GLuint buffer, unsigned flags) {
  if (resource == nullptr) return cudaErrorInvalidValue;
  if (flags != cudaGraphicsRegisterFlagsWriteDiscard) return cudaErrorNotSupported;
  const std::optional<GL> gl = currentGL();
  if (!gl) return cudaErrorInvalidGraphicsContext;
  if (gl->isBuffer(buffer) != GL_TRUE) return cudaErrorInvalidValue;
  GLint size = 0;
  gl->bufferParameter(buffer, GL_BUFFER_SIZE, &size);
  if (size <= 0) return cudaErrorInvalidValue;
  void* block = nullptr;
  const cudaError_t allocated = cudaMalloc(&block, static_cast<std::size_t>(size));
  if (allocated != cudaSuccess) return allocated;
  auto* created = new cudaGraphicsResource{buffer, block, static_cast<std::size_t>(size), nullptr};
  Resources& r = resources();
  std::lock_guard lock(r.mutex);
  r.add(created);
  *resource = created;
  return cudaSuccess;
}

// Runs work with the current context's entry points, under the registry's lock, once the list,
// the stream and the context check out.
template <typename Work>
cudaError_t withList(int count, const cudaGraphicsResource_t* list, cudaStream_t stream,
                     bool mapped, Work&& work) {
  Resources& r = resources();
  std::lock_guard lock(r.mutex);
  const cudaError_t valid = checkList(r, count, list, mapped);
  if (valid != cudaSuccess) return valid;
  if (!emu::detail::streamValid(stream)) return cudaErrorInvalidResourceHandle;
  const std::optional<GL> gl = currentGL();
  return gl ? work(*gl) : cudaErrorInvalidGraphicsContext;
}

cudaError_t mapList(int count, cudaGraphicsResource_t* list, cudaStream_t stream) {
  return withList(count, list, stream, false, [&](const GL& gl) {
    for (int i = 0; i < count; ++i) {
      cudaGraphicsResource* resource = list[i];
      resource->mapping = gl.mapRange(resource->buffer, 0, static_cast<GLsizeiptr>(resource->size),
                                      GL_MAP_WRITE_BIT | GL_MAP_INVALIDATE_BUFFER_BIT);
      if (resource->mapping == nullptr) {
        for (int j = 0; j < i; ++j) unmapOne(gl, list[j]);
        return cudaErrorMapBufferObjectFailed;
      }
      // Write-discard: what CUDA finds in a mapped buffer is undefined, shown as all-ones bytes
      // (NaN as float) so that a region the upload missed shows in the picture.
      std::memset(resource->block, 0xff, resource->size);
    }
    return cudaSuccess;
  });
}

cudaError_t unmapList(int count, cudaGraphicsResource_t* list, cudaStream_t stream) {
  return withList(count, list, stream, true, [&](const GL& gl) {
    cudaError_t result = cudaSuccess;
    for (int i = 0; i < count; ++i) {
      const cudaError_t unmapped = unmapOne(gl, list[i]);
      if (result == cudaSuccess) result = unmapped;
    }
    return result;
  });
}

cudaError_t unregister(cudaGraphicsResource_t resource) {
  Resources& r = resources();
  {
    std::lock_guard lock(r.mutex);
    if (!r.live(resource)) return cudaErrorInvalidResourceHandle;
    if (resource->mapping != nullptr) {
      if (const std::optional<GL> gl = currentGL()) unmapOne(*gl, resource);
    }
    r.remove(resource);
  }
  const cudaError_t freed = cudaFree(resource->block);
  delete resource;
  return freed;
}

}  // namespace

using emu::detail::call;
using emu::detail::Needs;

QM_RUNTIME_CALL cudaError_t cudaGLGetDevices(unsigned int* pCudaDeviceCount, int* pCudaDevices,
                                             unsigned int cudaDeviceCount,
                                             cudaGLDeviceList deviceList) {
  return call("cudaGLGetDevices", Needs::device, [&] {
    if (pCudaDeviceCount == nullptr || deviceList < cudaGLDeviceListAll ||
        deviceList > cudaGLDeviceListNextFrame) {
      return cudaErrorInvalidValue;
    }
    if (!currentGL()) return cudaErrorInvalidGraphicsContext;
    // The emulated display is driven by the first emulated device.
    *pCudaDeviceCount = 1;
    if (pCudaDevices != nullptr && cudaDeviceCount > 0) pCudaDevices[0] = 0;
    return cudaSuccess;
  });
}

QM_RUNTIME_CALL cudaError_t cudaGraphicsGLRegisterBuffer(cudaGraphicsResource** resource,
                                                         GLuint buffer, unsigned int flags) {
  return call("cudaGraphicsGLRegisterBuffer", Needs::device,
              [&] { return registerBuffer(resource, buffer, flags); });
}

QM_RUNTIME_CALL cudaError_t cudaGraphicsMapResources(int count, cudaGraphicsResource_t* resources,
                                                     cudaStream_t stream) {
  return call("cudaGraphicsMapResources", Needs::device,
              [&] { return mapList(count, resources, stream); });
}

QM_RUNTIME_CALL cudaError_t cudaGraphicsResourceGetMappedPointer(void** devPtr, size_t* size,
                                                                 cudaGraphicsResource_t resource) {
  return call("cudaGraphicsResourceGetMappedPointer", Needs::device, [&] {
    if (devPtr == nullptr || size == nullptr) return cudaErrorInvalidValue;
    Resources& r = resources();
    std::lock_guard lock(r.mutex);
    if (!r.live(resource)) return cudaErrorInvalidResourceHandle;
    if (resource->mapping == nullptr) return cudaErrorNotMapped;
    *devPtr = resource->block;
    *size = resource->size;
    return cudaSuccess;
  });
}

QM_RUNTIME_CALL cudaError_t cudaGraphicsUnmapResources(int count,
                                                       cudaGraphicsResource_t* resources,
                                                       cudaStream_t stream) {
  return call("cudaGraphicsUnmapResources", Needs::device,
              [&] { return unmapList(count, resources, stream); });
}

QM_RUNTIME_CALL cudaError_t cudaGraphicsUnregisterResource(cudaGraphicsResource_t resource) {
  return call("cudaGraphicsUnregisterResource", Needs::device,
              [&] { return unregister(resource); });
}
