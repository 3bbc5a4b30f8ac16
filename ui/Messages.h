// Texts of the program's own that more than one window shows.
#pragma once

#include <string>
#include <string_view>

namespace quillfen_ui {

// The error shown when the settings file at `path` cannot be written:
// "<path> に書き込めません".
std::string CannotWriteMessage(std::string_view path);

// The notice of a folder made for a set or a copy: "<path>を作成しました。".
std::string FolderCreatedMessage(std::string_view path);

// The notice of a folder that could not be made.
inline constexpr char kFolderNotCreated[] = "新規フォルダの作成に失敗しました。";

}  // namespace quillfen_ui
