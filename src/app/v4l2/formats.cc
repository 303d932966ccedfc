#include "app/v4l2/formats.h"

#include <linux/videodev2.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <limits>

namespace app::v4l2 {
namespace {

// Lower is better: the camera's own JPEG costs nothing to serve and needs the least USB
// bandwidth; the raw formats are encoded here.
constexpr std::uint32_t kServable[] = {V4L2_PIX_FMT_MJPEG, V4L2_PIX_FMT_JPEG, V4L2_PIX_FMT_YUYV,
                                       V4L2_PIX_FMT_NV12};

int preference(std::uint32_t fourcc) {
  for (int rank = 0; rank < static_cast<int>(std::size(kServable)); ++rank) {
    if (kServable[rank] == fourcc) return rank;
  }
  return -1;
}

int to_int(std::uint32_t value) {
  return static_cast<int>(std::min<std::uint32_t>(value, std::numeric_limits<int>::max()));
}

Result<OfferedFormat> enumerate_sizes(DeviceLayer& layer, int fd, const CameraRef& camera,
                                      std::uint32_t fourcc) {
  OfferedFormat format;
  format.fourcc = fourcc;
  for (std::uint32_t index = 0;; ++index) {
    v4l2_frmsizeenum size{};
    size.index = index;
    size.pixel_format = fourcc;
    const int result = layer.ioctl(fd, VIDIOC_ENUM_FRAMESIZES, &size);
    // EINVAL ends the list; a driver that cannot list sizes at all (ENOTTY) leaves the choice
    // of size to the driver.
    if (result == -EINVAL || (result == -ENOTTY && index == 0)) break;
    if (result < 0) return camera_failure(camera, "list its frame sizes", -result);
    if (size.type == V4L2_FRMSIZE_TYPE_DISCRETE) {
      format.sizes.push_back({to_int(size.discrete.width), to_int(size.discrete.height)});
      continue;
    }
    const v4l2_frmsize_stepwise& step = size.stepwise;
    format.range = SizeRange{{to_int(step.min_width), to_int(step.min_height)},
                             {to_int(step.max_width), to_int(step.max_height)},
                             std::max(1, to_int(step.step_width)),
                             std::max(1, to_int(step.step_height))};
    break;  // a range is the only entry
  }
  return format;
}

int nearest_in_range(int wanted, int low, int high, int step) {
  if (high < low) return low;
  const int clamped = std::clamp(wanted, low, high);
  const int steps = (clamped - low + step / 2) / step;
  return std::min(low + steps * step, high);
}

struct Candidate {
  FormatChoice choice;
  long distance = 0;
  int rank = 0;
};

bool better(const Candidate& a, const Candidate& b) {
  if (a.distance != b.distance) return a.distance < b.distance;
  if (a.rank != b.rank) return a.rank < b.rank;
  return static_cast<long>(a.choice.size.width) * a.choice.size.height >
         static_cast<long>(b.choice.size.width) * b.choice.size.height;
}

}  // namespace

bool is_jpeg_format(std::uint32_t fourcc) {
  return fourcc == V4L2_PIX_FMT_MJPEG || fourcc == V4L2_PIX_FMT_JPEG;
}

std::string fourcc_name(std::uint32_t fourcc) {
  std::string name;
  for (int shift = 0; shift < 32; shift += 8) {
    const char c = static_cast<char>((fourcc >> shift) & 0xFF);
    name += (c >= ' ' && c <= '~') ? c : '?';
  }
  return name;
}

Result<std::vector<OfferedFormat>> enumerate_formats(DeviceLayer& layer, int fd,
                                                     const CameraRef& camera) {
  std::vector<OfferedFormat> offered;
  for (std::uint32_t index = 0;; ++index) {
    v4l2_fmtdesc description{};
    description.index = index;
    description.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    const int result = layer.ioctl(fd, VIDIOC_ENUM_FMT, &description);
    if (result == -EINVAL) break;
    if (result < 0) return camera_failure(camera, "list its pixel formats", -result);
    if (preference(description.pixelformat) < 0) continue;
    if (std::any_of(offered.begin(), offered.end(), [&](const OfferedFormat& known) {
          return known.fourcc == description.pixelformat;
        })) {
      continue;
    }
    auto format = enumerate_sizes(layer, fd, camera, description.pixelformat);
    if (failed(format)) return std::get<Failure>(format);
    offered.push_back(std::move(std::get<OfferedFormat>(format)));
  }
  std::stable_sort(offered.begin(), offered.end(), [](const auto& a, const auto& b) {
    return preference(a.fourcc) < preference(b.fourcc);
  });
  return offered;
}

std::optional<FormatChoice> choose_format(const std::vector<OfferedFormat>& offered,
                                          const FrameRequest& request, FrameSize current) {
  if (offered.empty()) return std::nullopt;

  // The size aimed at: what was asked; else what the camera is set to now; else the largest
  // size of the preferred format.
  std::optional<int> want_width = request.width;
  std::optional<int> want_height = request.height;
  if (!want_width && !want_height) {
    if (current.width > 0 && current.height > 0) {
      want_width = current.width;
      want_height = current.height;
    } else if (!offered.front().sizes.empty()) {
      const auto largest = std::max_element(
          offered.front().sizes.begin(), offered.front().sizes.end(), [](auto& a, auto& b) {
            return static_cast<long>(a.width) * a.height < static_cast<long>(b.width) * b.height;
          });
      want_width = largest->width;
      want_height = largest->height;
    } else if (offered.front().range) {
      want_width = offered.front().range->max.width;
      want_height = offered.front().range->max.height;
    }
  }

  auto distance = [&](FrameSize size) {
    long d = 0;
    if (want_width) d += std::labs(static_cast<long>(size.width) - *want_width);
    if (want_height) d += std::labs(static_cast<long>(size.height) - *want_height);
    return d;
  };
  // A dimension that was not asked for: the current one, else the given fallback.
  auto or_current = [](std::optional<int> wanted, int now, int fallback) {
    return wanted ? *wanted : (now > 0 ? now : fallback);
  };

  std::optional<Candidate> best;
  auto consider = [&](std::uint32_t fourcc, FrameSize size) {
    Candidate candidate{{fourcc, size}, distance(size), preference(fourcc)};
    if (!best || better(candidate, *best)) best = candidate;
  };
  for (const OfferedFormat& format : offered) {
    for (FrameSize size : format.sizes) consider(format.fourcc, size);
    if (format.range) {
      const SizeRange& range = *format.range;
      consider(format.fourcc,
               {nearest_in_range(or_current(want_width, current.width, range.max.width),
                                 range.min.width, range.max.width, range.step_width),
                nearest_in_range(or_current(want_height, current.height, range.max.height),
                                 range.min.height, range.max.height, range.step_height)});
    }
    if (format.sizes.empty() && !format.range) {
      // The driver gave no sizes: ask for the wanted one and let it adjust.
      const FrameSize size{or_current(want_width, current.width, 640),
                           or_current(want_height, current.height, 480)};
      consider(format.fourcc, size);
    }
  }
  if (!best) return std::nullopt;
  return best->choice;
}

}  // namespace app::v4l2
