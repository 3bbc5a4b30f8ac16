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

bool NeedsOffscreenPlatform(int argc, const char* const* argv, const char* (*getenv)(const char*)) {
  if (!HasUnattendedSwitch(argc, argv)) return false;
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
    const char* value = getenv(name);
    if (value != nullptr && *value != '\0') return false;
  }
  return true;
}

}  // namespace quillfen
