#include "app/portal/portal_bus.h"

#include <unistd.h>

#include <cstring>

#include "app/bus_dictionary.h"

namespace app::portal {
namespace {

constexpr const char* kRequestInterface = "org.freedesktop.portal.Request";
// How long a plain portal call (not the user's answer) may take.
constexpr std::uint64_t kCallTimeoutUsec = 10'000'000;

struct ErrorGuard {
  sd_bus_error error = SD_BUS_ERROR_NULL;
  ~ErrorGuard() { sd_bus_error_free(&error); }
};

struct SlotGuard {
  sd_bus_slot* slot = nullptr;
  ~SlotGuard() { sd_bus_slot_unref(slot); }
};

// Reads the "(ii)" value of a variant, entered already.
int read_pair(sd_bus_message* message, int& a, int& b) {
  std::int32_t first = 0, second = 0;
  int r = sd_bus_message_read(message, "(ii)", &first, &second);
  a = first;
  b = second;
  return r;
}

int read_stream(sd_bus_message* message, PortalStream& stream) {
  if (const int r = sd_bus_message_read(message, "u", &stream.node); r < 0) return r;
  return read_dictionary(message, [&](const char* key) {
    int r = 0;
    if (std::strcmp(key, "position") == 0 || std::strcmp(key, "size") == 0) {
      if ((r = sd_bus_message_enter_container(message, 'v', "(ii)")) < 0) return r;
      if (key[0] == 'p') {
        r = read_pair(message, stream.x, stream.y);
      } else {
        r = read_pair(message, stream.width, stream.height);
      }
      if (r < 0) return r;
      return sd_bus_message_exit_container(message);
    }
    if (std::strcmp(key, "id") == 0) {
      const char* id = nullptr;
      if ((r = sd_bus_message_read(message, "v", "s", &id)) < 0) return r;
      stream.id = id;
      return r;
    }
    return sd_bus_message_skip(message, "v");
  });
}

int read_streams(sd_bus_message* message, std::vector<PortalStream>& streams) {
  int r = sd_bus_message_enter_container(message, 'v', "a(ua{sv})");
  if (r < 0) return r;
  if ((r = sd_bus_message_enter_container(message, 'a', "(ua{sv})")) < 0) return r;
  while ((r = sd_bus_message_enter_container(message, 'r', "ua{sv}")) > 0) {
    PortalStream stream;
    if ((r = read_stream(message, stream)) < 0) return r;
    streams.push_back(std::move(stream));
    if ((r = sd_bus_message_exit_container(message)) < 0) return r;
  }
  if (r < 0) return r;
  if ((r = sd_bus_message_exit_container(message)) < 0) return r;
  return sd_bus_message_exit_container(message);
}

struct Waiting {
  bool answered = false;
  PortalAnswer answer;
  int problem = 0;
};

int on_response(sd_bus_message* message, void* userdata, sd_bus_error*) {
  auto& waiting = *static_cast<Waiting*>(userdata);
  if (waiting.answered) return 0;
  waiting.answered = true;
  int r = sd_bus_message_read(message, "u", &waiting.answer.response);
  if (r >= 0) r = read_results(message, waiting.answer.results);
  if (r < 0) waiting.problem = r;
  return 0;
}

Failure unavailable(std::string message) { return Failure{FailureKind::kUnavailable, std::move(message)}; }

}  // namespace

int read_results(sd_bus_message* message, PortalResults& results) {
  return read_dictionary(message, [&](const char* key) {
    const char* type = nullptr;
    int r = sd_bus_message_peek_type(message, nullptr, &type);
    if (r < 0) return r;
    if (std::strcmp(key, "streams") == 0 && type && std::strcmp(type, "a(ua{sv})") == 0) {
      return read_streams(message, results.streams);
    }
    if ((std::strcmp(key, "session_handle") == 0 || std::strcmp(key, "restore_token") == 0) &&
        type && (std::strcmp(type, "s") == 0 || std::strcmp(type, "o") == 0)) {
      const char* text = nullptr;
      r = sd_bus_message_read(message, "v", type, &text);
      if (r >= 0) {
        (key[0] == 's' ? results.session_handle : results.restore_token) = std::string(text);
      }
      return r;
    }
    return sd_bus_message_skip(message, "v");
  });
}

std::string describe_bus_error(const sd_bus_error& error, int code) {
  if (sd_bus_error_is_set(&error)) {
    const std::string name = error.name;
    if (name == SD_BUS_ERROR_SERVICE_UNKNOWN || name == SD_BUS_ERROR_NAME_HAS_NO_OWNER) {
      return "no desktop portal is running on the session bus";
    }
    if (name == SD_BUS_ERROR_UNKNOWN_INTERFACE || name == SD_BUS_ERROR_UNKNOWN_METHOD ||
        name == SD_BUS_ERROR_UNKNOWN_OBJECT) {
      return "the desktop portal offers no screen casting";
    }
    return name + (error.message ? std::string(": ") + error.message : std::string());
  }
  return std::strerror(code < 0 ? -code : code);
}

Result<std::unique_ptr<PortalBus>> PortalBus::open() {
  sd_bus* bus = nullptr;
  const int r = sd_bus_open_user(&bus);
  if (r < 0) {
    return unavailable(std::string("cannot reach the session bus (") + std::strerror(-r) +
                       "): start the service inside your desktop session");
  }
  return std::unique_ptr<PortalBus>(new PortalBus(bus));
}

PortalBus::PortalBus(sd_bus* bus) : bus_(bus) {
  const char* unique = nullptr;
  if (sd_bus_get_unique_name(bus_, &unique) >= 0 && unique) {
    // ":1.42" appears in request paths as "1_42".
    for (const char* c = unique + (unique[0] == ':' ? 1 : 0); *c; ++c) {
      sender_ += *c == '.' ? '_' : *c;
    }
  }
}

PortalBus::~PortalBus() { sd_bus_flush_close_unref(bus_); }

std::string PortalBus::next_token() {
  return "tirvane" + std::to_string(::getpid()) + "_" + std::to_string(++counter_);
}

std::optional<std::uint32_t> PortalBus::interface_version(const char* interface,
                                                          const char* property) {
  ErrorGuard guard;
  std::uint32_t version = 0;
  const int r = sd_bus_get_property_trivial(bus_, kPortalName, kPortalPath, interface, property,
                                            &guard.error, 'u', &version);
  if (r < 0) return std::nullopt;
  return version;
}

Result<MessageRef> PortalBus::call(const char* interface, const char* method,
                                   const ArgumentWriter& arguments) {
  sd_bus_message* raw = nullptr;
  int r = sd_bus_message_new_method_call(bus_, &raw, kPortalName, kPortalPath, interface, method);
  MessageRef call(raw);
  if (r >= 0) r = arguments(call.get(), next_token());
  if (r < 0) return unavailable(std::string("cannot build a portal call: ") + std::strerror(-r));
  ErrorGuard guard;
  sd_bus_message* reply = nullptr;
  r = sd_bus_call(bus_, call.get(), kCallTimeoutUsec, &guard.error, &reply);
  if (r < 0) return unavailable(describe_bus_error(guard.error, r));
  return MessageRef(reply);
}

Result<PortalAnswer> PortalBus::request(const char* interface, const char* method,
                                        const ArgumentWriter& arguments,
                                        std::chrono::milliseconds patience,
                                        const std::string& waited_too_long) {
  const std::string token = next_token();
  std::string path = std::string(kPortalPath) + "/request/" + sender_ + "/" + token;
  Waiting waiting;
  // Subscribed before the call: a portal that answers at once must not be missed.
  SlotGuard match;
  int r = sd_bus_match_signal(bus_, &match.slot, nullptr, path.c_str(), kRequestInterface,
                              "Response", on_response, &waiting);
  if (r < 0) return unavailable(std::string("cannot listen on the session bus: ") + std::strerror(-r));

  sd_bus_message* raw = nullptr;
  r = sd_bus_message_new_method_call(bus_, &raw, kPortalName, kPortalPath, interface, method);
  MessageRef call(raw);
  if (r >= 0) r = arguments(call.get(), token);
  if (r < 0) return unavailable(std::string("cannot build a portal call: ") + std::strerror(-r));
  ErrorGuard guard;
  sd_bus_message* reply_raw = nullptr;
  r = sd_bus_call(bus_, call.get(), kCallTimeoutUsec, &guard.error, &reply_raw);
  MessageRef reply(reply_raw);
  if (r < 0) return unavailable(describe_bus_error(guard.error, r));
  const char* handle = nullptr;
  if (sd_bus_message_read(reply.get(), "o", &handle) >= 0 && handle && path != handle &&
      !waiting.answered) {
    // An older portal that chose its own path: listen there instead.
    path = handle;
    sd_bus_slot_unref(match.slot);
    match.slot = nullptr;
    r = sd_bus_match_signal(bus_, &match.slot, nullptr, path.c_str(), kRequestInterface,
                            "Response", on_response, &waiting);
    if (r < 0) return unavailable("cannot listen on the session bus: " + std::string(std::strerror(-r)));
  }

  const auto deadline = std::chrono::steady_clock::now() + patience;
  while (!waiting.answered) {
    r = sd_bus_process(bus_, nullptr);
    if (r < 0) return unavailable("the session bus connection broke while waiting for the desktop portal");
    if (r > 0) continue;
    const auto left = deadline - std::chrono::steady_clock::now();
    if (left <= std::chrono::steady_clock::duration::zero()) break;
    sd_bus_wait(bus_, static_cast<std::uint64_t>(
                          std::chrono::duration_cast<std::chrono::microseconds>(left).count()) + 1);
  }
  if (!waiting.answered) {
    // Closing the request takes its dialog off the screen.
    ErrorGuard ignored;
    sd_bus_call_method(bus_, kPortalName, path.c_str(), kRequestInterface, "Close", &ignored.error,
                       nullptr, "");
    return unavailable(waited_too_long);
  }
  if (waiting.problem < 0) {
    return unavailable(std::string("the desktop portal sent an answer that cannot be read: ") +
                       std::strerror(-waiting.problem));
  }
  return std::move(waiting.answer);
}

}  // namespace app::portal
