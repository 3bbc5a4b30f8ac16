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

std::optional<std::string> UnattendedPlatforms(int argc, const char* const* argv,
                                               const char* (*getenv)(const char*)) {
  if (!HasUnattendedSwitch(argc, argv)) return std::nullopt;
  auto value = [&](const char* name) {
    const char* text = getenv(name);
    return std::string_view(text == nullptr ? "" : text);
  };
  constexpr std::string_view kOffscreen = "offscreen";
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

}  // namespace quillfen
