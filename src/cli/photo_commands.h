// tirvane snap and tirvane screenshot; look takes its photo the same way as snap.
#pragma once

#include "cli/capture_output.h"

// Requests a frame from the camera named by --device at the --size given, and writes it.
// A refusal ends the run with the service's text or "could not take a photo"; nothing is written.
SavedFile take_photo();
