// main() of the window tests: GoogleTest inside a QApplication, so that tests
// can drive real windows (on the offscreen platform under ctest).
#include <QApplication>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  QApplication application(argc, argv);
  return RUN_ALL_TESTS();
}
