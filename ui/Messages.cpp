#include "ui/Messages.h"

namespace quillfen_ui {

std::string CannotWriteMessage(std::string_view path) {
  return std::string(path) + " に書き込めません";
}

}  // namespace quillfen_ui
