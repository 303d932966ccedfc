// `tirvane-app --allow-screen`: asks the desktop, through its portal's dialog, for permission to
// capture the screen, waits for the user's answer and keeps the permission, so that the service
// never has to ask again.
#pragma once

#include <chrono>
#include <string>

namespace app::desktop {

// Runs the dialog and keeps the permission in `config_folder`. Reports to stderr; the exit
// status: 0 when the permission is kept, 1 otherwise.
int allow_screen(const std::string& config_folder,
                 std::chrono::milliseconds patience = std::chrono::minutes(5));

}  // namespace app::desktop
