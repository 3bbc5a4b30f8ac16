#include "app/CommandLine.h"

namespace quillfen {

bool IsUnattendedSwitch(std::string_view argument) {
  return argument.size() == 2 && (argument[0] == '/' || argument[0] == '-') &&
         (argument[1] == 's' || argument[1] == 'S');
}

bool HasUnattendedSwitch(int argc, const char* const* argv) {
  for (int i = 1; i < argc; ++i) {
    if (argv[i] != nullptr && IsUnattendedSwitch(argv[i])) return true;
  }
  return false;
}

namespace {

constexpr std::string_view kOffscreen = "offscreen";

// The platforms Qt would try, from the user's choice or the displays named,
// followed by offscreen.
std::string PlatformsThenOffscreen(const char* (*getenv)(const char*)) {
  auto value = [&](const char* name) {
    const char* text = getenv(name);
    return std::string_view(text == nullptr ? "" : text);
  };
  std::string platforms;
  if (const std::string_view chosen = value("QT_QPA_PLATFORM"); !chosen.empty()) {
    if (chosen.find(kOffscreen) != std::string_view::npos) return std::string(chosen);
    platforms.assign(chosen).append(";");
  } else {
    const bool wayland = !value("WAYLAND_DISPLAY").empty();
    const bool x11 = !value("DISPLAY").empty();
    // Qt prefers Wayland only in a Wayland session.
    const bool waylandFirst = value("XDG_SESSION_TYPE") == "wayland";
    if (wayland && waylandFirst) platforms += "wayland;";
    if (x11) platforms += "xcb;";
    if (wayland && !waylandFirst) platforms += "wayland;";
  }
  return platforms.append(kOffscreen);
}

bool OffscreenChosen(const char* (*getenv)(const char*)) {
  const char* chosen = getenv("QT_QPA_PLATFORM");
  return chosen != nullptr && std::string_view(chosen).find(kOffscreen) != std::string_view::npos;
}

}  // namespace

const char kNoDisplayMessage[] =
    "quillfen: no display to show the window on (DISPLAY or WAYLAND_DISPLAY unset or not "
    "reachable); for an unattended backup run use: quillfen -s";

std::optional<std::string> UnattendedPlatforms(int argc, const char* const* argv,
                                               const char* (*getenv)(const char*)) {
  if (!HasUnattendedSwitch(argc, argv)) return std::nullopt;
  return PlatformsThenOffscreen(getenv);
}

std::optional<std::string> WindowPlatforms(int argc, const char* const* argv,
                                           const char* (*getenv)(const char*)) {
  if (HasUnattendedSwitch(argc, argv) || OffscreenChosen(getenv)) return std::nullopt;
  return PlatformsThenOffscreen(getenv);
}

}  // namespace quillfen
