// main() of the window tests: GoogleTest inside a QApplication, so that tests
// can drive real windows (on the offscreen platform under ctest).
#include <QApplication>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // The tests never need a display; ctest's test discovery runs the program
  // without the environment of the tests, so the platform is chosen here too.
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
  }
  QApplication application(argc, argv);
  return RUN_ALL_TESTS();
}
