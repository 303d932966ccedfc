// A wl_buffer in shared memory (a memfd the compositor maps too), for the compositor to copy the
// screen into.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

struct wl_buffer;
struct wl_shm;

namespace app::wayland {

class ShmBuffer {
 public:
  // A buffer of `stride` x `height` bytes in wl_shm format `format`; null when memory or the
  // compositor refuses.
  static std::unique_ptr<ShmBuffer> create(wl_shm* shm, int width, int height,
                                           std::size_t stride, std::uint32_t format);
  ~ShmBuffer();
  ShmBuffer(const ShmBuffer&) = delete;
  ShmBuffer& operator=(const ShmBuffer&) = delete;

  wl_buffer* buffer() const { return buffer_; }
  const std::uint8_t* pixels() const { return static_cast<const std::uint8_t*>(memory_); }
  bool fits(int width, int height, std::size_t stride, std::uint32_t format) const {
    return width == width_ && height == height_ && stride == stride_ && format == format_;
  }

 private:
  ShmBuffer() = default;
  wl_buffer* buffer_ = nullptr;
  void* memory_ = nullptr;
  std::size_t size_ = 0;
  int width_ = 0;
  int height_ = 0;
  std::size_t stride_ = 0;
  std::uint32_t format_ = 0;
};

}  // namespace app::wayland
