// The real device layer, on what this machine has: ordinary files and no camera. It must report
// errno values as they are, and the webcam source over it must take a file for no camera.
#include <gtest/gtest.h>
#include <linux/videodev2.h>
#include <poll.h>

#include <cerrno>
#include <filesystem>
#include <fstream>

#include "app/v4l2/device_layer.h"
#include "app/v4l2/webcam_provider.h"

namespace {

using app::v4l2::kernel_device_layer;

TEST(KernelDeviceLayer, ReportsErrnoValuesAsNegativeNumbers) {
  auto layer = kernel_device_layer();
  EXPECT_EQ(layer->open("/nonexistent/video0"), -ENOENT);

  const std::string path = ::testing::TempDir() + "/kernel-layer-file";
  std::ofstream(path) << std::string(8192, 'x');
  const int fd = layer->open(path);
  ASSERT_GE(fd, 0);
  v4l2_capability caps{};
  EXPECT_EQ(layer->ioctl(fd, VIDIOC_QUERYCAP, &caps), -ENOTTY);
  EXPECT_EQ(layer->poll(fd, 0) & POLLIN, POLLIN);  // a file is always readable

  const app::v4l2::Mapping mapping = layer->mmap(fd, 4096, 0);
  ASSERT_NE(mapping.address, nullptr) << mapping.error;
  EXPECT_EQ(static_cast<const char*>(mapping.address)[0], 'x');
  layer->munmap(mapping.address, 4096);
  EXPECT_EQ(layer->mmap(fd, 4096, 3).error, EINVAL);  // not page aligned
  layer->close(fd);
  EXPECT_EQ(layer->ioctl(fd, VIDIOC_QUERYCAP, &caps), -EBADF);
  std::filesystem::remove(path);
}

TEST(KernelDeviceLayer, FindsNoWebcamWhereThereIsNone) {
  const std::filesystem::path root = ::testing::TempDir() + "/kernel-layer-dev";
  std::filesystem::create_directories(root);
  std::ofstream(root / "video0") << "not a device";
  app::v4l2::WebcamProvider source(kernel_device_layer(), {root, {}});
  EXPECT_TRUE(source.devices().empty());
  const auto found = source.find("0");
  ASSERT_TRUE(found.has_value());
  EXPECT_EQ(std::get<app::Failure>(*found).status, 404);
  EXPECT_EQ(std::get<app::Failure>(*found).message,
            "camera 0 (" + (root / "video0").string() + ") does not capture video");
  std::filesystem::remove_all(root);
}

}  // namespace
