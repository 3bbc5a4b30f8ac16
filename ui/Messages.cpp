#include "ui/Messages.h"

namespace quillfen_ui {

std::string CannotWriteMessage(std::string_view path) {
  return std::string(path) + " に書き込めません";
}

std::string FolderCreatedMessage(std::string_view path) {
  return std::string(path) + "を作成しました。";
}

}  // namespace quillfen_ui
