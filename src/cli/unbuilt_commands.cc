// Commands whose handlers are still being written. Each says so plainly instead of pretending.
#include "cli/commands.h"
#include "cli/fail.h"

void run_devices(const Positional&) { fail("devices is not available in this build yet"); }
void run_controls(const Positional&) { fail("controls is not available in this build yet"); }
void run_set(const Positional&) { fail("set is not available in this build yet"); }
void run_sources(const Positional&) { fail("sources is not available in this build yet"); }
void run_add_source(const Positional&) { fail("add-source is not available in this build yet"); }
void run_forget_source(const Positional&) {
  fail("forget-source is not available in this build yet");
}
