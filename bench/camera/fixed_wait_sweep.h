// The focus sweep with a fixed wait after each lens move: the baseline of camera_bench.
#pragma once

#include <chrono>

#include "app/focus_sweep.h"

namespace bench {

app::Result<app::FocusSweep> fixed_wait_sweep(app::FocusLens& device, std::chrono::milliseconds wait);

}  // namespace bench
