// The help text, shown for no command word, "", "-h" and "help", and after an unknown word.
#pragma once

#include <string_view>

inline constexpr std::string_view kHelpText =
    "tirvane \xE2\x80\x94 eyes for an AI agent\n"
    "\n"
    "  tirvane snap [--out FILE]     take a photo (default: tirvane.jpg)\n"
    "  tirvane look [--out FILE]     focus, then snap \xE2\x80\x94 the one-shot for agents\n"
    "  tirvane focus                 sweep the lens, lock the sharpest\n"
    "  tirvane screenshot [--out F]  capture the whole screen (default: screen.jpg)\n"
    "  tirvane record [--secs N]     record the screen (default 5s, webm)\n"
    "  tirvane devices               every eye: cameras, the screen, phones\n"
    "  tirvane controls              every knob, with its range\n"
    "  tirvane set NAME VALUE        set one control (focus, zoom, exposure \xE2\x80\xA6)\n"
    "  tirvane add-source NAME URL   register a phone / IP camera\n"
    "  tirvane sources               list registered phone / IP cameras\n"
    "  tirvane forget-source NAME    remove one\n"
    "  tirvane status                is the app running, and what is it set to\n"
    "\n"
    "Any camera command takes --device: a webcam id, `screen`, or `net:<name>` for a\n"
    "registered phone. So `tirvane snap --device screen` and `tirvane snap --device\n"
    "net:phone` both work.\n"
    "\n"
    "Options\n"
    "  --device ID     which eye (a camera id, `screen`, or `net:<name>`)\n"
    "  --out FILE      where to write the image or video\n"
    "  --secs N        recording length for `record` (max 120)\n"
    "  --format FMT    recording container: webm (default) or mp4\n"
    "  --size WxH      capture size, e.g. --size 1280x720\n"
    "  --json          machine-readable output\n"
    "  --port N        the app's port (default 7777, or TIRVANE_PORT)\n"
    "\n"
    "The Tirvane app must be running. Start it from your applications menu, or\n"
    "`tirvane-app &`.\n";
