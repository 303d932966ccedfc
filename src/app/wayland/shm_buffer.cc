#include "app/wayland/shm_buffer.h"

#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>

namespace app::wayland {

std::unique_ptr<ShmBuffer> ShmBuffer::create(wl_shm* shm, int width, int height,
                                             std::size_t stride, std::uint32_t format) {
  const std::size_t size = stride * static_cast<std::size_t>(height);
  if (shm == nullptr || width < 1 || height < 1 || size == 0 || size > INT32_MAX) return nullptr;
  const int fd = ::memfd_create("tirvane-screen", MFD_CLOEXEC);
  if (fd < 0) return nullptr;
  std::unique_ptr<ShmBuffer> made(new ShmBuffer);
  if (::ftruncate(fd, static_cast<off_t>(size)) != 0) {
    ::close(fd);
    return nullptr;
  }
  void* memory = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (memory == MAP_FAILED) {
    ::close(fd);
    return nullptr;
  }
  made->memory_ = memory;
  made->size_ = size;
  wl_shm_pool* pool = wl_shm_create_pool(shm, fd, static_cast<std::int32_t>(size));
  made->buffer_ = wl_shm_pool_create_buffer(pool, 0, width, height,
                                            static_cast<std::int32_t>(stride), format);
  // The buffer keeps the pool's memory alive on both sides; neither the pool nor the fd is
  // needed any more.
  wl_shm_pool_destroy(pool);
  ::close(fd);
  made->width_ = width;
  made->height_ = height;
  made->stride_ = stride;
  made->format_ = format;
  return made;
}

ShmBuffer::~ShmBuffer() {
  if (buffer_ != nullptr) wl_buffer_destroy(buffer_);
  if (memory_ != nullptr) ::munmap(memory_, size_);
}

}  // namespace app::wayland
