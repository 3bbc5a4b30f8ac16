#include "compare/Unit2.h"

TForm2::TForm2(UserDialogs&, const quillfen::Clock&, MainWindowLink&, QWidget* parent)
    : QDialog(parent) {
  setWindowTitle("フォルダの比較");
}
