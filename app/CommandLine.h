// The start-up switch of the unattended run and the platform it needs.
#pragma once

#include <string_view>

namespace quillfen {

// Whether `argument` is the switch: "/" or "-" followed by the letter s in
// either case, and nothing else ("/s", "-s", "/S", "-S"; not "s", "--s",
// "/silent").
bool IsUnattendedSwitch(std::string_view argument);

// Whether any of argv[1..argc-1] is the switch.
bool HasUnattendedSwitch(int argc, const char* const* argv);

// Whether the unattended run must pick Qt's offscreen platform itself: the
// switch is given and no display (DISPLAY, WAYLAND_DISPLAY) nor platform
// (QT_QPA_PLATFORM) is set in the environment; `getenv` reads a variable
// (nullptr or "" when unset).
bool NeedsOffscreenPlatform(int argc, const char* const* argv, const char* (*getenv)(const char*));

}  // namespace quillfen
