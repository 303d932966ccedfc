// Pictures of the portal's screen-cast streams, received through PipeWire. Each stream is one
// monitor; its frames arrive on PipeWire's own thread and the newest one is kept, ready to be
// taken. Only shared-memory buffers are asked for (there may be no GPU to share dma-bufs with).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/failure.h"
#include "app/image.h"

namespace app::portal {

class PipeWireCapture {
 public:
  // Connects through `fd` (a PipeWire connection from the portal; it is duplicated, the caller
  // keeps its own) and starts one stream per node. A 503 Failure when PipeWire refuses.
  static Result<std::unique_ptr<PipeWireCapture>> connect(int fd,
                                                          const std::vector<std::uint32_t>& nodes);
  ~PipeWireCapture();
  PipeWireCapture(const PipeWireCapture&) = delete;
  PipeWireCapture& operator=(const PipeWireCapture&) = delete;

  // The newest frame of stream `index` as BGRX pixels, waiting up to `wait` for the first one.
  // When no new frame has come since the last call, the same picture again (a desktop sends
  // frames only when the screen changes). The view stays valid until the next call for this
  // stream. A 503 Failure once the stream has stopped, or when no frame came in time.
  Result<PixelView> newest(std::size_t index, std::chrono::milliseconds wait);

  // Hands the newest frame of stream `index` to `use`, waiting up to `wait` for the first one,
  // without taking it from the stream's reader above: a shot beside a recording of the same
  // stream. `use` runs while new frames wait, so it should only copy. Nothing, or why there is
  // no picture (as for newest()).
  std::optional<Failure> peek(std::size_t index, std::chrono::milliseconds wait,
                              const std::function<void(const PixelView&)>& use);

  // Frames received on stream `index` so far (a frame taken twice counts once).
  std::uint64_t frames_received(std::size_t index) const;
  // Why stream `index` stopped, once it has.
  std::optional<std::string> stopped(std::size_t index) const;

  struct State;

 private:
  explicit PipeWireCapture(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

}  // namespace app::portal
