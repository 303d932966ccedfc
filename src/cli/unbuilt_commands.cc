// Commands whose handlers are still being written. Each says so plainly instead of pretending.
#include "cli/commands.h"
#include "cli/fail.h"

void run_snap(const Positional&) { fail("snap is not available in this build yet"); }
void run_screenshot(const Positional&) { fail("screenshot is not available in this build yet"); }
void run_look(const Positional&) { fail("look is not available in this build yet"); }
void run_focus(const Positional&) { fail("focus is not available in this build yet"); }
void run_record(const Positional&) { fail("record is not available in this build yet"); }
