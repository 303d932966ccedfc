// A fake of the V4L2 device layer: webcams that exist only in memory, with the formats, sizes,
// controls and frames a test gives them, and the faults a test injects. It behaves as the
// kernel's drivers do where the backend depends on it: one file descriptor owns the buffers and
// another gets EBUSY, closing the owner stops streaming, a queued buffer is filled with a frame
// of the scene at once, and an unplugged camera answers ENODEV. A frame shows the controls as
// they were when the frame before it was made: that one was being exposed meanwhile. So frames
// waiting in buffers after a control change are stale, and so is the first one after them.
// Buffers carry the start of their frame's exposure as their time stamp, as UVC drivers give
// it (or the end of the frame, or no usable stamp, as a camera is told); MJPEG frames also say it in a comment ("exposure-began NS", nanoseconds of the monotonic
// clock), so a test can tell from a picture served when it was taken, and that it is the
// camera's own JPEG.
//
// Thread-safe: the camera under test closes its node from its own thread.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/image.h"
#include "app/v4l2/device_layer.h"
#include "camera_timing.h"

namespace fake_v4l2 {

struct Size {
  int width = 0;
  int height = 0;
};

struct Format {
  std::uint32_t fourcc = 0;
  std::vector<Size> sizes;
};

struct Control {
  std::uint32_t id = 0;
  std::string name;  // the driver's text
  std::uint32_t type = 1;  // V4L2_CTRL_TYPE_INTEGER
  std::int32_t min = 0;
  std::int32_t max = 0;
  std::int32_t step = 1;
  std::int32_t default_value = 0;
  std::int32_t value = 0;
  std::uint32_t flags = 0;
  std::vector<std::int32_t> menu;  // the valid indices of a menu control
  int read_error = 0;              // VIDIOC_G_CTRL fails with this errno
  int write_error = 0;             // VIDIOC_S_CTRL fails with this errno
};

struct Camera {
  // What it is.
  std::string driver = "uvcvideo";
  std::string card = "Fake HD Webcam";
  std::string bus_info = "usb-0000:00:14.0-1";
  std::uint32_t caps = 0;  // V4L2_CAP_*; set by the constructors below
  std::vector<Format> formats;
  std::vector<Control> controls;
  std::uint32_t fourcc = 0;  // the format it is set to
  Size size;

  // How it behaves.
  std::optional<Size> forced_size;  // S_FMT answers this size whatever was asked
  bool mjpeg_tables = false;        // UVC cameras leave the Huffman tables out
  std::size_t mjpeg_padding = 0;    // zero bytes after the end marker, as some drivers leave
  int truncated_frames = 0;         // the next this many MJPEG frames filled are cut short
  bool limited_range = true;        // YUV quantization it reports and uses
  std::size_t row_padding = 0;      // bytes added to each row of a raw format
  int dark_frames = 0;              // black frames after streaming starts
  std::optional<int> sharpest_focus;  // fine detail that fades as focus moves away from this
  // The detail fades smoothly and never quite vanishes, as a real lens's growing blur does;
  // otherwise it is gone 60 steps of focus away.
  bool gradual_defocus = false;
  bool refuse_focus_in_autofocus = true;  // EACCES for focus while autofocus is on
  // What its buffers' time stamps say (V4L2_BUF_FLAG_TSTAMP_SRC_*): the start of exposure, as
  // UVC drivers do; the end of the frame, as many other drivers do; or nothing usable.
  enum class Stamps { kStartOfExposure, kEndOfFrame, kNone };
  Stamps stamps = Stamps::kStartOfExposure;
  // With a timing, frames come at the camera's pace and the lens takes time to move
  // (camera_timing.h); without, a queued buffer is filled at once and the lens is where focus
  // says.
  std::optional<Timing> timing;

  // Faults.
  int open_error = 0;                          // open() fails with this errno
  std::map<unsigned long, int> ioctl_errors;   // this request fails with this errno
  std::optional<int> unplug_after_frames;      // gone once this many frames were dequeued
  bool stalled = false;                        // streams, but no frame ever completes
  bool unplugged = false;

  // What happened to it.
  int opens = 0;
  int open_fds = 0;
  int mapped_buffers = 0;
  int stream_starts = 0;
  int frames_dequeued = 0;
  bool streaming = false;
  std::vector<std::pair<std::uint32_t, std::int32_t>> control_writes;  // VIDIOC_S_CTRL, in order

  const Control* control(std::uint32_t id) const;
  Control* control(std::uint32_t id);
};

// A UVC webcam as they commonly come: MJPEG at 1920x1080, 1280x720 and 640x480, YUYV at 640x480
// and 320x240, set to YUYV 640x480; brightness, contrast, saturation, gain, sharpness, white
// balance with its automatic mode, exposure with auto exposure (a menu of 1 manual and 3
// aperture priority), focus 0..250 in steps of 5 with continuous autofocus on (named as kernels
// since 5.16 name it), zoom, power line frequency and a vendor control.
Camera uvc_webcam();
// The same camera offering only `formats`, for tests of one pixel format.
Camera webcam_with(std::vector<Format> formats);
// The metadata node a UVC camera has beside its picture node.
Camera metadata_node();

// The scene the fake films: red, green, blue and white quarters (top left, top right, bottom
// left, bottom right), scaled by brightness / its default; black while dark; with fine
// detail whose contrast falls off as focus leaves `sharpest_focus`.
app::Image scene(const Camera& camera, int width, int height, bool dark);
// The contrast of that detail with the lens at `lens` (0 to 80; 0 without `sharpest_focus`).
double detail_at(const Camera& camera, double lens);
// The scene with the detail given.
app::Image scene_with_detail(const Camera& camera, int width, int height, bool dark,
                             double detail);

// The JPEG with its DHT segments removed, as an MJPEG webcam sends it.
std::string without_huffman_tables(std::string_view jpeg);

class FakeDeviceLayer final : public app::v4l2::DeviceLayer {
 public:
  void add(const std::string& path, Camera camera);
  // A copy of the camera's state, to look at.
  Camera state(const std::string& path) const;
  // Changes the camera in place (faults, controls, ...).
  void change(const std::string& path, const std::function<void(Camera&)>& edit);
  // The camera disappears: open() answers ENOENT, its open descriptors ENODEV.
  void unplug(const std::string& path);

  int open(const std::string& path) override;
  int ioctl(int fd, unsigned long request, void* argument) override;
  app::v4l2::Mapping mmap(int fd, std::size_t length, std::int64_t offset) override;
  void munmap(void* address, std::size_t length) override;
  int poll(int fd, int timeout_ms) override;
  void close(int fd) override;

 private:
  using Memory = std::shared_ptr<std::vector<std::uint8_t>>;
  struct Buffer {
    Memory memory;  // shared with a mapping, which keeps it alive as the kernel does
    std::size_t used = 0;
    bool queued = false;
    Clock::time_point exposure_began;  // of the frame in it
    Clock::time_point completed;       // when that frame was complete
  };
  struct Mapped {
    std::string path;
    Memory memory;
  };
  struct Node {
    Camera camera;
    std::optional<int> owner;  // the descriptor that holds the buffers
    std::vector<Buffer> buffers;
    std::deque<std::uint32_t> ready;  // filled, waiting to be dequeued
    int frames_since_start = 0;
    std::uint32_t sequence = 0;
    std::vector<Control> exposing;  // the controls as the frame being exposed sees them
    Clock::time_point last_made;    // untimed: when the frame before was made, its exposure began
    // With a timing (camera_timing.h):
    Lens lens;
    Clock::time_point first_frame;    // when frame 0 of the stream completes
    long next_frame = 0;              // the number of the next frame to complete
    std::deque<std::uint32_t> empty;  // queued buffers, in the order the driver fills them
    // The controls from each moment on, oldest first: a frame shows those in force when its
    // exposure began.
    std::deque<std::pair<Clock::time_point, std::vector<Control>>> control_history;
  };

  Node* node_of(int fd);
  void fill(Node& node, std::uint32_t index);
  // Renders a frame of `camera` (as exposed from `began` until `completed`) into the buffer and
  // marks it ready.
  void deliver(Node& node, std::uint32_t index, const Camera& camera, bool dark, double detail,
               Clock::time_point began, Clock::time_point completed);
  // Timed cameras: completes the frames due by `now` into the queued buffers, in order.
  void advance(Node& node, Clock::time_point now);
  void fill_timed(Node& node, std::uint32_t index, Clock::time_point completed);
  int control_ioctl(Node& node, unsigned long request, void* argument);
  int stream_ioctl(Node& node, int fd, unsigned long request, void* argument);
  void release(Node& node);

  // Frames made lately, by what they show: most frames repeat one, and making one is slow.
  std::map<std::string, std::vector<std::uint8_t>> frames_made_;

  mutable std::mutex mutex_;
  std::map<std::string, Node> nodes_;
  std::map<int, std::string> fds_;
  std::map<void*, Mapped> mappings_;
  int next_fd_ = 100;
};

}  // namespace fake_v4l2
