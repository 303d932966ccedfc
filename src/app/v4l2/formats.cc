#include "app/v4l2/formats.h"

#include <linux/videodev2.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <limits>

#include "app/frame_fit.h"

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

// The smallest size of the range that is at least `wanted`, within the range.
int covering_in_range(int wanted, int low, int high, int step) {
  if (high < low) return low;
  const int clamped = std::clamp(wanted, low, high);
  const int steps = (clamped - low + step - 1) / step;
  return std::min(low + steps * step, high);
}

long area(FrameSize size) { return static_cast<long>(size.width) * size.height; }

struct Candidate {
  FormatChoice choice;
  long sent_area = 0;  // of the picture the mode gives, fitted inside the asked box
  int rank = 0;
};

// The mode whose picture, fitted inside the box, is largest: one that covers the box in its
// aspect fills it. Of those alike, the smallest mode (the least to decode and scale), then the
// preferred format.
bool better(const Candidate& a, const Candidate& b) {
  if (a.sent_area != b.sent_area) return a.sent_area > b.sent_area;
  if (area(a.choice.size) != area(b.choice.size)) return area(a.choice.size) < area(b.choice.size);
  return a.rank < b.rank;
}

// Without an asked size: the size aimed at is the current one, or the largest.
struct Aim {
  long distance = 0;
  int rank = 0;
  long size = 0;
  bool operator<(const Aim& other) const {
    if (distance != other.distance) return distance < other.distance;
    if (rank != other.rank) return rank < other.rank;
    return size > other.size;
  }
};

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
  const bool sized = request.width || request.height;

  // Without an asked size: what the camera is set to now; else the largest size of the
  // preferred format.
  FrameSize aim = current;
  if (!sized && (current.width <= 0 || current.height <= 0)) {
    if (!offered.front().sizes.empty()) {
      aim = *std::max_element(offered.front().sizes.begin(), offered.front().sizes.end(),
                              [](FrameSize a, FrameSize b) { return area(a) < area(b); });
    } else if (offered.front().range) {
      aim = offered.front().range->max;
    } else {
      aim = {640, 480};
    }
  }
  // For a range or a driver that lists no sizes, a side that was not asked for follows the
  // asked one in the current aspect; without a current size, the given fallback.
  auto or_current = [&](std::optional<int> wanted, int now, int fallback) {
    if (wanted) return *wanted;
    if (current.width <= 0 || current.height <= 0) return fallback;
    const long other_asked = request.width ? *request.width : request.height.value_or(0);
    const long other_now = request.width ? current.width : current.height;
    return static_cast<int>(std::max(1L, other_asked * now / other_now));
  };

  std::optional<FormatChoice> best;
  std::optional<Candidate> best_sized;
  std::optional<Aim> best_aim;
  auto consider = [&](std::uint32_t fourcc, FrameSize size) {
    const FormatChoice choice{fourcc, size};
    if (sized) {
      const FitSize sent = fitted_size(size.width, size.height, request.width, request.height);
      const Candidate candidate{choice, static_cast<long>(sent.width) * sent.height,
                                preference(fourcc)};
      if (!best_sized || better(candidate, *best_sized)) {
        best_sized = candidate;
        best = choice;
      }
      return;
    }
    const Aim candidate{std::labs(static_cast<long>(size.width) - aim.width) +
                            std::labs(static_cast<long>(size.height) - aim.height),
                        preference(fourcc), area(size)};
    if (!best_aim || candidate < *best_aim) {
      best_aim = candidate;
      best = choice;
    }
  };
  for (const OfferedFormat& format : offered) {
    for (FrameSize size : format.sizes) consider(format.fourcc, size);
    if (format.range) {
      const SizeRange& range = *format.range;
      const int want_width = sized ? or_current(request.width, current.width, range.max.width)
                                   : aim.width;
      const int want_height = sized ? or_current(request.height, current.height, range.max.height)
                                    : aim.height;
      consider(format.fourcc,
               {covering_in_range(want_width, range.min.width, range.max.width, range.step_width),
                covering_in_range(want_height, range.min.height, range.max.height,
                                  range.step_height)});
    }
    if (format.sizes.empty() && !format.range) {
      // The driver gave no sizes: ask for the wanted one and let it adjust.
      consider(format.fourcc,
               sized ? FrameSize{or_current(request.width, current.width, 640),
                                 or_current(request.height, current.height, 480)}
                     : aim);
    }
  }
  return best;
}

}  // namespace app::v4l2
