// Walking the a{sv} dictionaries D-Bus services answer with (sd-bus).
#pragma once

#include <systemd/sd-bus.h>

namespace app {

// Reads the a{sv} dictionary at the message's position: for each entry, `read_value(key)` reads
// or skips the variant and returns a negative errno when it cannot. Returns the first negative
// errno met, or a non-negative number once the whole dictionary is read.
template <class ReadValue>
int read_dictionary(sd_bus_message* message, ReadValue&& read_value) {
  int r = sd_bus_message_enter_container(message, 'a', "{sv}");
  if (r < 0) return r;
  while ((r = sd_bus_message_enter_container(message, 'e', "sv")) > 0) {
    const char* key = nullptr;
    if ((r = sd_bus_message_read(message, "s", &key)) < 0) return r;
    if ((r = read_value(key)) < 0) return r;
    if ((r = sd_bus_message_exit_container(message)) < 0) return r;
  }
  if (r < 0) return r;
  return sd_bus_message_exit_container(message);
}

}  // namespace app
