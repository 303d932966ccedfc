// The few system calls a V4L2 camera needs, behind one interface so that tests can put a fake
// camera in place of the kernel. Every call reports failure as a negative errno value, never
// through the global errno.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace app::v4l2 {

struct Mapping {
  void* address = nullptr;  // null when the mapping failed
  int error = 0;            // the errno value then
};

class DeviceLayer {
 public:
  virtual ~DeviceLayer() = default;

  // Opens a device node for reading and writing, non-blocking: the descriptor, or -errno.
  virtual int open(const std::string& path) = 0;
  // 0, or -errno. Interrupted calls are repeated, never reported.
  virtual int ioctl(int fd, unsigned long request, void* argument) = 0;
  // Maps a driver buffer (offset and length as VIDIOC_QUERYBUF gave them), shared and readable.
  virtual Mapping mmap(int fd, std::size_t length, std::int64_t offset) = 0;
  virtual void munmap(void* address, std::size_t length) = 0;
  // Waits up to timeout_ms for the descriptor to become readable: the poll revents (> 0),
  // 0 on time-out, or -errno.
  virtual int poll(int fd, int timeout_ms) = 0;
  virtual void close(int fd) = 0;
};

// The real thing: the calls go straight to the kernel.
std::shared_ptr<DeviceLayer> kernel_device_layer();

}  // namespace app::v4l2
