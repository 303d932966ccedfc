// Ending the processes a compositor starts for a test. Compositors end their helpers without
// waiting for them, and `swaymsg exec` hands its commands on to init: a test that makes itself
// the subreaper inherits them instead, and ends and waits for each by its process id.
#pragma once

#include <sys/types.h>

#include <vector>

namespace screen_testing {

// Makes this process the subreaper of everything it starts from now on.
void become_subreaper();

// The processes `pid` has started and not yet waited for, as the kernel lists them.
std::vector<pid_t> children_of(pid_t pid);

// Waits for this process's children running as `uid` to end (ending them after 2 seconds), and
// for those that have ended: what a compositor run as `uid` left to this subreaper, whose
// process ids it never told (its own helpers, the shells that ran its commands).
void reap_children_of_user(uid_t uid);

// Asks `pid` to end (SIGTERM, then SIGKILL after 2 seconds) and waits until it has; when it is
// this process's child, waits for it so that nothing is left behind.
void end_process(pid_t pid);

}  // namespace screen_testing
