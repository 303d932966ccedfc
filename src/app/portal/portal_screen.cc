#include "app/portal/portal_screen.h"

#include <algorithm>
#include <numeric>
#include <utility>

namespace app::portal {
namespace {

// A dialog that shows although a permission was passed is given this long before it is closed:
// the request that started the session is waiting.
constexpr std::chrono::milliseconds kRestorePatience{3000};
// The first picture of a new stream; desktops send one at once (65-125 ms measured).
constexpr std::chrono::milliseconds kFirstFrameWait{3000};

}  // namespace

std::vector<std::string> name_by_position(const std::vector<PortalStream>& streams) {
  std::vector<std::size_t> order(streams.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return std::pair(streams[a].x, streams[a].y) < std::pair(streams[b].x, streams[b].y);
  });
  std::vector<std::string> names(streams.size());
  for (std::size_t rank = 0; rank < order.size(); ++rank) names[order[rank]] = std::to_string(rank + 1);
  return names;
}

std::string consent_missing_message() {
  return std::string("the screen of this desktop is shared through the desktop portal, which "
                     "needs your consent once: ") +
         kConsentHint;
}

PortalScreen::PortalScreen(ConsentStore store, OutputNamer namer,
                           std::chrono::milliseconds keep_open)
    : store_(std::move(store)), namer_(std::move(namer)), keep_open_(keep_open) {
  closer_ = std::thread([this] { close_when_idle(); });
}

PortalScreen::~PortalScreen() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  closer_.join();
}

bool PortalScreen::consent_stored() const { return store_.token().has_value(); }

Result<std::unique_ptr<PortalSession>> PortalScreen::start_session() {
  std::lock_guard starting(start_mutex_);
  const auto token = store_.token();
  if (!token) return Failure{FailureKind::kUnavailable, consent_missing_message()};
  bool rejected = false;
  auto started = start_screencast({token, kRestorePatience}, &rejected);
  if (failed(started)) {
    // The desktop no longer takes this permission: ask for consent anew rather than showing
    // a dialog on every request.
    if (rejected) store_.forget();
    return std::get<Failure>(started);
  }
  std::unique_ptr<PortalSession> session(
      new PortalSession{std::move(std::get<ScreenCast>(started)), nullptr, {}});
  if (session->cast.restore_token) {
    if (auto failure = store_.store(*session->cast.restore_token)) return *failure;
  }

  std::vector<std::uint32_t> nodes;
  for (const PortalStream& stream : session->cast.streams) nodes.push_back(stream.node);
  auto connected = PipeWireCapture::connect(session->cast.pipewire_fd, nodes);
  if (failed(connected)) return std::get<Failure>(connected);
  session->capture = std::move(std::get<std::unique_ptr<PipeWireCapture>>(connected));

  const std::vector<std::string> names = namer_(session->cast.streams);
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    auto first = session->capture->newest(i, kFirstFrameWait);
    if (failed(first)) return std::get<Failure>(first);
    const PixelView& picture = std::get<PixelView>(first);
    session->outputs.push_back({names.at(i), picture.width, picture.height});
  }
  return session;
}

Result<PortalSession*> PortalScreen::shot_session_locked() {
  if (shots_) {
    bool all_running = true;
    for (std::size_t i = 0; i < shots_->outputs.size(); ++i) {
      all_running = all_running && !shots_->capture->stopped(i);
    }
    if (all_running) return shots_.get();
    shots_.reset();
  }
  auto started = start_session();
  if (failed(started)) return std::get<Failure>(started);
  shots_ = std::move(std::get<std::unique_ptr<PortalSession>>(started));
  return shots_.get();
}

Result<std::vector<PortalOutput>> PortalScreen::outputs() {
  std::lock_guard lock(mutex_);
  if (!store_.token() && !shots_) return Failure{FailureKind::kUnavailable, consent_missing_message()};
  auto session = shot_session_locked();
  if (failed(session)) return std::get<Failure>(session);
  last_shot_ = std::chrono::steady_clock::now();
  wake_.notify_all();
  return std::get<PortalSession*>(session)->outputs;
}

std::optional<Failure> PortalScreen::with_picture(std::string_view output,
                                                  const std::function<void(const PixelView&)>& use) {
  std::lock_guard lock(mutex_);
  auto found = shot_session_locked();
  if (failed(found)) return std::get<Failure>(found);
  PortalSession* session = std::get<PortalSession*>(found);
  std::size_t index = 0;
  if (!output.empty()) {
    const auto& outputs = session->outputs;
    auto at = std::find_if(outputs.begin(), outputs.end(),
                           [&](const PortalOutput& o) { return o.name == output; });
    if (at == outputs.end()) {
      return Failure{FailureKind::kNotFound, "no monitor named " + std::string(output) + " on this desktop"};
    }
    index = static_cast<std::size_t>(at - outputs.begin());
  }
  last_shot_ = std::chrono::steady_clock::now();
  wake_.notify_all();
  // A recording may be reading the same stream: the shot looks without taking the frame.
  if (!session->capture->peek(index, kFirstFrameWait, use)) return std::nullopt;
  // The desktop ended the session since the last shot (a restarted shell, say): one new try.
  shots_.reset();
  auto renewed = shot_session_locked();
  if (failed(renewed)) return std::get<Failure>(renewed);
  session = std::get<PortalSession*>(renewed);
  if (index >= session->outputs.size()) return Failure{FailureKind::kNotFound, "no such monitor on this desktop"};
  return session->capture->peek(index, kFirstFrameWait, use);
}

Result<std::shared_ptr<PortalSession>> PortalScreen::start_recording() {
  std::lock_guard lock(mutex_);
  if (!shots_ || !shots_->recording) {
    auto found = shot_session_locked();
    if (failed(found)) return std::get<Failure>(found);
    if (!shots_->recording) {
      shots_->recording = true;
      return shots_;
    }
  }
  auto started = start_session();
  if (failed(started)) return std::get<Failure>(started);
  std::shared_ptr<PortalSession> own = std::move(std::get<std::unique_ptr<PortalSession>>(started));
  own->recording = true;
  return own;
}

void PortalScreen::end_recording(std::shared_ptr<PortalSession>& session) {
  if (!session) return;
  {
    std::lock_guard lock(mutex_);
    session->recording = false;
    session.reset();
    // The shot session stays open for shots a while after the recording, as after a shot.
    last_shot_ = std::chrono::steady_clock::now();
  }
  wake_.notify_all();
}

void PortalScreen::close_when_idle() {
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    if (!shots_) {
      wake_.wait(lock);
      continue;
    }
    if (shots_->recording) {  // open for as long as a recording reads it
      wake_.wait(lock);
      continue;
    }
    const auto due = last_shot_ + keep_open_;
    if (std::chrono::steady_clock::now() >= due) {
      shots_.reset();
      continue;
    }
    wake_.wait_until(lock, due);
  }
  shots_.reset();
}

}  // namespace app::portal
