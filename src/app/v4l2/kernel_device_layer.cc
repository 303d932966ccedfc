#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>

#include "app/v4l2/device_layer.h"

namespace app::v4l2 {
namespace {

class KernelDeviceLayer final : public DeviceLayer {
 public:
  int open(const std::string& path) override {
    int fd;
    do {
      fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    return fd < 0 ? -errno : fd;
  }

  int ioctl(int fd, unsigned long request, void* argument) override {
    int result;
    do {
      result = ::ioctl(fd, request, argument);
    } while (result < 0 && errno == EINTR);
    return result < 0 ? -errno : 0;
  }

  Mapping mmap(int fd, std::size_t length, std::int64_t offset) override {
    void* address = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd,
                           static_cast<off_t>(offset));
    if (address == MAP_FAILED) return Mapping{nullptr, errno};
    return Mapping{address, 0};
  }

  void munmap(void* address, std::size_t length) override { ::munmap(address, length); }

  int poll(int fd, int timeout_ms) override {
    pollfd entry{fd, POLLIN, 0};
    int result;
    do {
      result = ::poll(&entry, 1, timeout_ms);
    } while (result < 0 && errno == EINTR);
    if (result < 0) return -errno;
    return result == 0 ? 0 : entry.revents;
  }

  void close(int fd) override { ::close(fd); }
};

}  // namespace

std::shared_ptr<DeviceLayer> kernel_device_layer() {
  return std::make_shared<KernelDeviceLayer>();
}

}  // namespace app::v4l2
