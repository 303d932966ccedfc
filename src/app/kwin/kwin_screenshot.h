// Screenshots through KDE Plasma's compositor (org.kde.KWin.ScreenShot2): the picture comes back
// through a pipe, with no dialog, once the service's .desktop file names it as allowed to ask.
#pragma once

#include <optional>
#include <string>

#include "app/failure.h"
#include "app/image.h"

namespace app::kwin {

// True when the session bus has KWin's screenshot interface.
bool kwin_screenshot_offered();

// The screen named `output` (a connector name such as "HDMI-A-1"), or the active screen when
// none is named, as BGRX pixels. A 503 Failure that names the cause (not authorised, no KWin).
Result<Image> kwin_capture(const std::optional<std::string>& output);

}  // namespace app::kwin
