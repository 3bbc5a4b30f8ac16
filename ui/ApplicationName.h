// The program's name as the desktop sees it.
#pragma once

namespace quillfen_ui {

// Names the application "Quillfen": the window class by which the task list
// groups its windows, and the caption of its message boxes. Called once,
// right after the QApplication is created.
void NameApplication();

}  // namespace quillfen_ui
