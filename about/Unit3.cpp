#include "about/Unit3.h"

TForm3::TForm3(QWidget* parent) : QDialog(parent) { setWindowTitle("Version情報"); }
