// The start-up switch of the unattended run and the platform it needs.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quillfen {

// Whether `argument` is the switch: "/" or "-" followed by the letter s in
// either case, and nothing else ("/s", "-s", "/S", "-S"; not "s", "--s",
// "/silent").
bool IsUnattendedSwitch(std::string_view argument);

// Whether any of argv[1..argc-1] is the switch.
bool HasUnattendedSwitch(int argc, const char* const* argv);

// The Qt platforms an unattended run asks for (the value of QT_QPA_PLATFORM),
// or nullopt when the switch is not given and Qt chooses as always. The run
// uses the display the environment names (WAYLAND_DISPLAY, DISPLAY, in the
// order Qt would try them) and falls back to the offscreen platform when
// none is set or none can be opened, so that a stale or broken display never
// keeps a run from cron or a timer from running. A platform the user chose in
// QT_QPA_PLATFORM comes first. `getenv` reads a variable (nullptr or "" when
// unset).
std::optional<std::string> UnattendedPlatforms(int argc, const char* const* argv,
                                               const char* (*getenv)(const char*));

// The Qt platforms a start with the window asks for: those Qt would try (the
// user's choice, or the displays the environment names), then offscreen, so
// that a missing or unreachable display shows as the offscreen platform
// instead of ending in the toolkit's abort; the program then says so and
// ends. nullopt with the switch, or when the user chose offscreen.
std::optional<std::string> WindowPlatforms(int argc, const char* const* argv,
                                           const char* (*getenv)(const char*));

// The one line printed when the window cannot be shown for want of a display.
extern const char kNoDisplayMessage[];

}  // namespace quillfen
