// Texts of the program's own that more than one window shows.
#pragma once

#include <string>
#include <string_view>

namespace quillfen_ui {

// The error shown when the settings file at `path` cannot be written:
// "<path> に書き込めません".
std::string CannotWriteMessage(std::string_view path);

}  // namespace quillfen_ui
