// The human report of tirvane status, as text, for the handler and for the fuzz targets.
#pragma once

#include <string>

#include "protocol/json.h"

// Three lines: version and port, the camera, the frame size.
std::string status_report(const JsonValue& health);
