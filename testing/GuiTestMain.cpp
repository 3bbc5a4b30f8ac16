// main() of the GUI test binaries: one QApplication, on the offscreen platform
// unless the environment chooses another, for all tests of the binary.
#include <gtest/gtest.h>

#include <QApplication>

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  QApplication::setApplicationName("Quillfen");
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
