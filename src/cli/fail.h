// How a run of tirvane ends. Every failure of a command goes through fail(): one report on
// standard error, exit status 1, nothing retried.
#pragma once

#include <string_view>

inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1;

// Writes "error: " and `message` and a line break to standard error, flushes standard output and
// ends the process with kExitFailure.
[[noreturn]] void fail(std::string_view message);

// Flushes standard output and ends the process with `status`. When standard output cannot take
// what was written, the run fails instead of reporting success.
[[noreturn]] void finish(int status);
