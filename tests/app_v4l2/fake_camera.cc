#include "fake_camera.h"

#include <linux/videodev2.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "fake_camera_frames.h"

namespace fake_v4l2 {
namespace {

void copy_text(__u8* target, std::size_t capacity, const std::string& text) {
  std::memset(target, 0, capacity);
  std::memcpy(target, text.data(), std::min(text.size(), capacity - 1));
}

}  // namespace

void FakeDeviceLayer::add(const std::string& path, Camera camera) {
  std::lock_guard lock(mutex_);
  Node node;
  node.camera = std::move(camera);
  Control* autofocus = node.camera.control(V4L2_CID_FOCUS_AUTO);
  if (Control* focus = node.camera.control(V4L2_CID_FOCUS_ABSOLUTE);
      focus && node.camera.timing) {
    // Continuous autofocus has found the subject, more or less, and reports where the lens is.
    if (autofocus && autofocus->value && node.camera.sharpest_focus) {
      focus->value = std::clamp(*node.camera.sharpest_focus / focus->step * focus->step,
                                focus->min, focus->max);
    }
    const double range = std::max(1, focus->max - focus->min);
    node.lens = Lens(focus->value, range / std::chrono::duration<double>(
                                               node.camera.timing->lens_full_travel).count());
  }
  nodes_[path] = std::move(node);
}

Camera FakeDeviceLayer::state(const std::string& path) const {
  std::lock_guard lock(mutex_);
  return nodes_.at(path).camera;
}

void FakeDeviceLayer::change(const std::string& path, const std::function<void(Camera&)>& edit) {
  std::lock_guard lock(mutex_);
  edit(nodes_.at(path).camera);
}

void FakeDeviceLayer::unplug(const std::string& path) {
  change(path, [](Camera& camera) { camera.unplugged = true; });
}

FakeDeviceLayer::Node* FakeDeviceLayer::node_of(int fd) {
  auto path = fds_.find(fd);
  if (path == fds_.end()) return nullptr;
  return &nodes_.at(path->second);
}

int FakeDeviceLayer::open(const std::string& path) {
  std::unique_lock lock(mutex_);
  auto node = nodes_.find(path);
  if (node != nodes_.end() && node->second.camera.timing) {
    const auto latency = node->second.camera.timing->open_latency;
    lock.unlock();
    std::this_thread::sleep_for(latency);
    lock.lock();
    node = nodes_.find(path);
  }
  if (node == nodes_.end() || node->second.camera.unplugged) return -ENOENT;
  Camera& camera = node->second.camera;
  if (camera.open_error) return -camera.open_error;
  ++camera.opens;
  ++camera.open_fds;
  fds_[next_fd_] = path;
  return next_fd_++;
}

void FakeDeviceLayer::close(int fd) {
  std::lock_guard lock(mutex_);
  Node* node = node_of(fd);
  if (!node) return;
  if (node->owner == fd) release(*node);
  --node->camera.open_fds;
  fds_.erase(fd);
}

void FakeDeviceLayer::release(Node& node) {
  node.camera.streaming = false;
  node.owner.reset();
  node.buffers.clear();
  node.ready.clear();
  node.empty.clear();
}

void FakeDeviceLayer::fill(Node& node, std::uint32_t index) {
  Camera camera = node.camera;
  camera.controls = node.exposing;
  node.exposing = node.camera.controls;
  const bool dark = node.frames_since_start++ < camera.dark_frames;
  const Control* focus = camera.control(V4L2_CID_FOCUS_ABSOLUTE);
  const Clock::time_point began = node.last_made;
  node.last_made = Clock::now();
  deliver(node, index, camera, dark, focus ? detail_at(camera, focus->value) : 0.0, began,
          node.last_made);
}

void FakeDeviceLayer::fill_timed(Node& node, std::uint32_t index, Clock::time_point completed) {
  const auto period = node.camera.timing->frame_period;
  const Clock::time_point exposed = completed - period;
  Camera camera = node.camera;
  // The controls in force when the exposure began; older entries are no longer needed.
  while (node.control_history.size() > 1 && node.control_history[1].first <= exposed) {
    node.control_history.pop_front();
  }
  if (!node.control_history.empty() && node.control_history.front().first <= exposed) {
    camera.controls = node.control_history.front().second;
  }
  const double detail = node.lens.mean_over(
      exposed, completed, [&](double lens) { return detail_at(node.camera, lens); });
  const bool dark = node.frames_since_start < camera.dark_frames;
  deliver(node, index, camera, dark, detail, exposed, completed);
}

void FakeDeviceLayer::deliver(Node& node, std::uint32_t index, const Camera& camera, bool dark,
                              double detail, Clock::time_point began,
                              Clock::time_point completed) {
  Buffer& buffer = node.buffers[index];
  // Detail in tenths: the picture's levels are whole numbers anyway, and most frames then
  // repeat the last one made.
  detail = std::round(detail * 10) / 10;
  auto value_of = [&](std::uint32_t id) {
    const Control* control = camera.control(id);
    return control ? std::to_string(control->value) : "-";
  };
  const std::string key =
      std::to_string(camera.fourcc) + " " + std::to_string(camera.size.width) + "x" +
      std::to_string(camera.size.height) + " " + std::to_string(dark) + " " +
      value_of(V4L2_CID_BRIGHTNESS) + " " + std::to_string(detail) + " " +
      std::to_string(camera.limited_range) + " " + std::to_string(camera.row_padding) + " " +
      std::to_string(camera.mjpeg_tables) + " " + std::to_string(camera.mjpeg_padding);
  auto made = frames_made_.find(key);
  if (made == frames_made_.end()) {
    if (frames_made_.size() >= 64) frames_made_.clear();
    made = frames_made_.emplace(key, encode_frame(camera, scene_with_detail(
                                                              camera, camera.size.width,
                                                              camera.size.height, dark, detail)))
               .first;
  }
  std::vector<std::uint8_t> frame = made->second;
  if (is_compressed(camera.fourcc) && frame.size() >= 2) {
    const std::string note =
        "exposure-began " + std::to_string(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                               began.time_since_epoch()).count());
    const std::size_t length = note.size() + 2;
    // SOI, then a COM segment with the note, then the rest of the picture.
    std::vector<std::uint8_t> stamped(frame.size() + 4 + note.size());
    std::copy_n(frame.begin(), 2, stamped.begin());
    stamped[2] = 0xFF;
    stamped[3] = 0xFE;
    stamped[4] = static_cast<std::uint8_t>(length >> 8);
    stamped[5] = static_cast<std::uint8_t>(length & 0xFF);
    std::memcpy(stamped.data() + 6, note.data(), note.size());
    std::copy(frame.begin() + 2, frame.end(),
              stamped.begin() + 6 + static_cast<std::ptrdiff_t>(note.size()));
    frame = std::move(stamped);
  }
  buffer.exposure_began = began;
  buffer.completed = completed;
  if (is_compressed(camera.fourcc) && node.camera.truncated_frames > 0) {
    --node.camera.truncated_frames;
    frame.resize(frame.size() / 2);
  }
  buffer.used = std::min(frame.size(), buffer.memory->size());
  std::copy_n(frame.begin(), buffer.used, buffer.memory->begin());
  node.ready.push_back(index);
}

void FakeDeviceLayer::advance(Node& node, Clock::time_point now) {
  if (!node.camera.timing || !node.camera.streaming || node.camera.stalled) return;
  const auto period = node.camera.timing->frame_period;
  while (node.first_frame + period * node.next_frame <= now) {
    if (node.empty.empty()) {
      // No buffer to fill: every frame due until now is dropped.
      node.next_frame = (now - node.first_frame) / period + 1;
      node.frames_since_start = static_cast<int>(std::min<long>(node.next_frame, 1 << 20));
      break;
    }
    const std::uint32_t index = node.empty.front();
    node.empty.pop_front();
    fill_timed(node, index, node.first_frame + period * node.next_frame);
    ++node.next_frame;
    ++node.frames_since_start;
  }
}

app::v4l2::Mapping FakeDeviceLayer::mmap(int fd, std::size_t length, std::int64_t offset) {
  std::lock_guard lock(mutex_);
  Node* node = node_of(fd);
  if (!node) return {nullptr, EBADF};
  if (node->camera.unplugged) return {nullptr, ENODEV};
  const auto index = static_cast<std::size_t>(offset / 0x100000);
  if (index >= node->buffers.size() || length > node->buffers[index].memory->size()) {
    return {nullptr, EINVAL};
  }
  const Memory& memory = node->buffers[index].memory;
  mappings_[memory->data()] = Mapped{fds_.at(fd), memory};
  ++node->camera.mapped_buffers;
  return {memory->data(), 0};
}

void FakeDeviceLayer::munmap(void* address, std::size_t) {
  std::lock_guard lock(mutex_);
  auto mapping = mappings_.find(address);
  if (mapping == mappings_.end()) return;
  --nodes_.at(mapping->second.path).camera.mapped_buffers;
  mappings_.erase(mapping);
}

int FakeDeviceLayer::poll(int fd, int timeout_ms) {
  std::unique_lock lock(mutex_);
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    Node* node = node_of(fd);
    if (!node) return POLLNVAL;
    if (node->camera.unplugged) return POLLERR | POLLHUP;
    if (!node->camera.streaming || node->owner != fd) return POLLERR;
    advance(*node, Clock::now());
    if (!node->ready.empty()) return POLLIN | POLLRDNORM;
    // Untimed, or nothing will come: a time-out at once, the fake does not wait.
    if (!node->camera.timing || node->camera.stalled || node->empty.empty()) return 0;
    const auto due = node->first_frame + node->camera.timing->frame_period * node->next_frame;
    if (due > deadline) {
      lock.unlock();
      std::this_thread::sleep_until(deadline);
      return 0;
    }
    // The frame is made now, while the caller waits for it anyway, so that making it (slow in
    // a fake) does not add to the camera's own timing; it is seen once it is due.
    const std::uint32_t index = node->empty.front();
    node->empty.pop_front();
    fill_timed(*node, index, due);
    ++node->next_frame;
    ++node->frames_since_start;
    lock.unlock();
    std::this_thread::sleep_until(due);
    lock.lock();
  }
}

int FakeDeviceLayer::ioctl(int fd, unsigned long request, void* argument) {
  std::lock_guard lock(mutex_);
  Node* node = node_of(fd);
  if (!node) return -EBADF;
  Camera& camera = node->camera;
  if (camera.unplugged) return -ENODEV;
  if (auto fault = camera.ioctl_errors.find(request); fault != camera.ioctl_errors.end()) {
    return -fault->second;
  }
  switch (request) {
    case VIDIOC_QUERYCAP: {
      auto* caps = static_cast<v4l2_capability*>(argument);
      *caps = {};
      copy_text(caps->driver, sizeof caps->driver, camera.driver);
      copy_text(caps->card, sizeof caps->card, camera.card);
      copy_text(caps->bus_info, sizeof caps->bus_info, camera.bus_info);
      caps->version = 0x060100;
      caps->device_caps = camera.caps;
      caps->capabilities = camera.caps | V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_META_CAPTURE |
                           V4L2_CAP_STREAMING | V4L2_CAP_DEVICE_CAPS;
      return 0;
    }
    case VIDIOC_ENUM_FMT: {
      auto* description = static_cast<v4l2_fmtdesc*>(argument);
      if (description->type != V4L2_BUF_TYPE_VIDEO_CAPTURE ||
          description->index >= camera.formats.size()) {
        return -EINVAL;
      }
      description->pixelformat = camera.formats[description->index].fourcc;
      description->flags = is_compressed(description->pixelformat) ? V4L2_FMT_FLAG_COMPRESSED : 0;
      return 0;
    }
    case VIDIOC_ENUM_FRAMESIZES: {
      auto* size = static_cast<v4l2_frmsizeenum*>(argument);
      for (const Format& format : camera.formats) {
        if (format.fourcc != size->pixel_format) continue;
        if (size->index >= format.sizes.size()) return -EINVAL;
        size->type = V4L2_FRMSIZE_TYPE_DISCRETE;
        size->discrete.width = static_cast<std::uint32_t>(format.sizes[size->index].width);
        size->discrete.height = static_cast<std::uint32_t>(format.sizes[size->index].height);
        return 0;
      }
      return -EINVAL;
    }
    case VIDIOC_G_FMT:
    case VIDIOC_S_FMT: {
      auto* format = static_cast<v4l2_format*>(argument);
      if (format->type != V4L2_BUF_TYPE_VIDEO_CAPTURE) return -EINVAL;
      if (request == VIDIOC_S_FMT) {
        if (node->owner) return -EBUSY;  // buffers are allocated, by this or another descriptor
        auto offered = std::find_if(camera.formats.begin(), camera.formats.end(),
                                    [&](const Format& f) { return f.fourcc == format->fmt.pix.pixelformat; });
        if (offered == camera.formats.end()) offered = camera.formats.begin();
        // The driver takes the nearest size it has.
        const auto wanted_w = static_cast<long>(format->fmt.pix.width);
        const auto wanted_h = static_cast<long>(format->fmt.pix.height);
        Size best = offered->sizes.front();
        for (const Size& size : offered->sizes) {
          if (std::labs(size.width - wanted_w) + std::labs(size.height - wanted_h) <
              std::labs(best.width - wanted_w) + std::labs(best.height - wanted_h)) {
            best = size;
          }
        }
        camera.fourcc = offered->fourcc;
        camera.size = camera.forced_size ? *camera.forced_size : best;
      }
      v4l2_pix_format& pix = format->fmt.pix;
      pix = {};
      pix.width = static_cast<std::uint32_t>(camera.size.width);
      pix.height = static_cast<std::uint32_t>(camera.size.height);
      pix.pixelformat = camera.fourcc;
      pix.field = V4L2_FIELD_NONE;
      pix.bytesperline = static_cast<std::uint32_t>(stride_of(camera, camera.size.width));
      pix.sizeimage = static_cast<std::uint32_t>(image_size_of(camera));
      pix.colorspace = V4L2_COLORSPACE_SRGB;
      pix.quantization = camera.limited_range ? V4L2_QUANTIZATION_DEFAULT : V4L2_QUANTIZATION_FULL_RANGE;
      return 0;
    }
    case VIDIOC_REQBUFS:
    case VIDIOC_QUERYBUF:
    case VIDIOC_QBUF:
    case VIDIOC_DQBUF:
    case VIDIOC_STREAMON:
    case VIDIOC_STREAMOFF:
      return stream_ioctl(*node, fd, request, argument);
    case VIDIOC_QUERYCTRL:
    case VIDIOC_G_CTRL:
    case VIDIOC_S_CTRL:
    case VIDIOC_QUERYMENU:
      return control_ioctl(*node, request, argument);
    default:
      return -ENOTTY;
  }
}

int FakeDeviceLayer::stream_ioctl(Node& node, int fd, unsigned long request, void* argument) {
  Camera& camera = node.camera;
  if (node.owner && node.owner != fd) return -EBUSY;
  switch (request) {
    case VIDIOC_REQBUFS: {
      auto* buffers = static_cast<v4l2_requestbuffers*>(argument);
      if (buffers->memory != V4L2_MEMORY_MMAP) return -EINVAL;
      if (camera.streaming && buffers->count > 0) return -EBUSY;
      release(node);
      if (buffers->count == 0) return 0;
      buffers->count = std::min<std::uint32_t>(buffers->count, 8);
      node.owner = fd;
      node.buffers.resize(buffers->count);
      for (Buffer& buffer : node.buffers) {
        buffer.memory = std::make_shared<std::vector<std::uint8_t>>(image_size_of(camera), 0);
      }
      return 0;
    }
    case VIDIOC_QUERYBUF: {
      auto* buffer = static_cast<v4l2_buffer*>(argument);
      if (!node.owner || buffer->index >= node.buffers.size()) return -EINVAL;
      buffer->length = static_cast<std::uint32_t>(node.buffers[buffer->index].memory->size());
      buffer->m.offset = buffer->index * 0x100000u;
      return 0;
    }
    case VIDIOC_QBUF: {
      auto* buffer = static_cast<v4l2_buffer*>(argument);
      if (!node.owner || buffer->index >= node.buffers.size() ||
          node.buffers[buffer->index].queued) {
        return -EINVAL;
      }
      node.buffers[buffer->index].queued = true;
      if (camera.timing) {
        node.empty.push_back(buffer->index);
      } else if (camera.streaming && !camera.stalled) {
        fill(node, buffer->index);
      }
      return 0;
    }
    case VIDIOC_DQBUF: {
      auto* buffer = static_cast<v4l2_buffer*>(argument);
      if (!camera.streaming) return -EINVAL;
      advance(node, Clock::now());
      if (node.ready.empty()) return -EAGAIN;
      const std::uint32_t index = node.ready.front();
      node.ready.pop_front();
      node.buffers[index].queued = false;
      buffer->index = index;
      buffer->bytesused = static_cast<std::uint32_t>(node.buffers[index].used);
      buffer->flags = V4L2_BUF_FLAG_MAPPED | V4L2_BUF_FLAG_DONE;
      buffer->timestamp = {};
      if (camera.stamps != Camera::Stamps::kNone) {
        const bool start = camera.stamps == Camera::Stamps::kStartOfExposure;
        buffer->flags |= V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC |
                         (start ? V4L2_BUF_FLAG_TSTAMP_SRC_SOE : V4L2_BUF_FLAG_TSTAMP_SRC_EOF);
        const Buffer& filled = node.buffers[index];
        const auto stamp = std::chrono::duration_cast<std::chrono::microseconds>(
            (start ? filled.exposure_began : filled.completed).time_since_epoch());
        buffer->timestamp.tv_sec = static_cast<time_t>(stamp.count() / 1'000'000);
        buffer->timestamp.tv_usec = static_cast<suseconds_t>(stamp.count() % 1'000'000);
      }
      buffer->sequence = node.sequence++;
      ++camera.frames_dequeued;
      if (camera.unplug_after_frames && camera.frames_dequeued >= *camera.unplug_after_frames) {
        camera.unplugged = true;
      }
      return 0;
    }
    case VIDIOC_STREAMON: {
      if (!node.owner) return -EINVAL;
      camera.streaming = true;
      ++camera.stream_starts;
      node.frames_since_start = 0;
      node.exposing = camera.controls;
      node.last_made = Clock::now();
      if (camera.timing) {
        const Clock::time_point now = Clock::now();
        node.first_frame = now + camera.timing->first_frame_latency;
        node.next_frame = 0;
        node.control_history.assign(1, {now, camera.controls});
        return 0;
      }
      if (!camera.stalled) {
        for (std::uint32_t index = 0; index < node.buffers.size(); ++index) {
          if (node.buffers[index].queued) fill(node, index);
        }
      }
      return 0;
    }
    case VIDIOC_STREAMOFF: {
      camera.streaming = false;
      node.ready.clear();
      node.empty.clear();
      for (Buffer& buffer : node.buffers) buffer.queued = false;
      return 0;
    }
  }
  return -ENOTTY;
}

int FakeDeviceLayer::control_ioctl(Node& node, unsigned long request, void* argument) {
  Camera& camera = node.camera;
  switch (request) {
    case VIDIOC_QUERYCTRL: {
      auto* query = static_cast<v4l2_queryctrl*>(argument);
      const Control* found = nullptr;
      if (query->id & V4L2_CTRL_FLAG_NEXT_CTRL) {
        const std::uint32_t after = query->id & ~(V4L2_CTRL_FLAG_NEXT_CTRL | V4L2_CTRL_FLAG_NEXT_COMPOUND);
        for (const Control& control : camera.controls) {
          if (control.id > after && (!found || control.id < found->id)) found = &control;
        }
      } else {
        found = camera.control(query->id);
      }
      if (!found) return -EINVAL;
      *query = {};
      query->id = found->id;
      query->type = found->type;
      copy_text(query->name, sizeof query->name, found->name);
      query->minimum = found->min;
      query->maximum = found->max;
      query->step = found->step;
      query->default_value = found->default_value;
      query->flags = found->flags;
      return 0;
    }
    case VIDIOC_QUERYMENU: {
      auto* item = static_cast<v4l2_querymenu*>(argument);
      const Control* control = camera.control(item->id);
      if (!control || control->type != V4L2_CTRL_TYPE_MENU) return -EINVAL;
      if (std::find(control->menu.begin(), control->menu.end(), static_cast<std::int32_t>(item->index)) ==
          control->menu.end()) {
        return -EINVAL;
      }
      copy_text(item->name, sizeof item->name, "setting " + std::to_string(item->index));
      return 0;
    }
    case VIDIOC_G_CTRL: {
      auto* value = static_cast<v4l2_control*>(argument);
      const Control* control = camera.control(value->id);
      if (!control || control->type == V4L2_CTRL_TYPE_CTRL_CLASS) return -EINVAL;
      if (control->read_error) return -control->read_error;
      value->value = control->value;
      return 0;
    }
    case VIDIOC_S_CTRL: {
      auto* value = static_cast<v4l2_control*>(argument);
      Control* control = camera.control(value->id);
      if (!control || control->type == V4L2_CTRL_TYPE_CTRL_CLASS) return -EINVAL;
      if (control->write_error) return -control->write_error;
      if (control->flags & V4L2_CTRL_FLAG_READ_ONLY) return -EACCES;
      // Frames due before the write show the camera as it was.
      advance(node, Clock::now());
      if (value->value < control->min || value->value > control->max) return -ERANGE;
      if (control->id == V4L2_CID_FOCUS_ABSOLUTE && camera.refuse_focus_in_autofocus) {
        const Control* autofocus = camera.control(V4L2_CID_FOCUS_AUTO);
        if (autofocus && autofocus->value != 0) return -EACCES;
      }
      control->value = value->value;
      camera.control_writes.emplace_back(value->id, value->value);
      if (camera.timing) {
        // The camera acts on the write a little later; the lens then sets off.
        const Clock::time_point acted = Clock::now() + camera.timing->control_latency;
        if (value->id == V4L2_CID_FOCUS_ABSOLUTE) node.lens.move_to(value->value, acted);
      }
      // Automatic modes make their manual control inactive, as drivers do.
      auto mark = [&](std::uint32_t manual, bool inactive) {
        if (Control* c = camera.control(manual)) {
          c->flags = inactive ? (c->flags | V4L2_CTRL_FLAG_INACTIVE)
                              : (c->flags & ~static_cast<std::uint32_t>(V4L2_CTRL_FLAG_INACTIVE));
        }
      };
      if (value->id == V4L2_CID_FOCUS_AUTO) mark(V4L2_CID_FOCUS_ABSOLUTE, value->value != 0);
      if (value->id == V4L2_CID_EXPOSURE_AUTO) {
        mark(V4L2_CID_EXPOSURE_ABSOLUTE, value->value != V4L2_EXPOSURE_MANUAL);
      }
      if (value->id == V4L2_CID_AUTO_WHITE_BALANCE) {
        mark(V4L2_CID_WHITE_BALANCE_TEMPERATURE, value->value != 0);
      }
      if (camera.timing) {
        node.control_history.emplace_back(Clock::now() + camera.timing->control_latency,
                                          camera.controls);
      }
      return 0;
    }
  }
  return -ENOTTY;
}

}  // namespace fake_v4l2
