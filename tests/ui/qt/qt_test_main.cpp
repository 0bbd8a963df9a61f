// The GUI thread is the main thread, as in the desktop program; the tests run beside it.
#include <gtest/gtest.h>

#include <QApplication>
#include <thread>

#include "ui/qt/gui_queue.h"

namespace ui::qt::test {
void SetGui(GuiQueue* gui);
}

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  ui::qt::GuiQueue gui;
  ui::qt::test::SetGui(&gui);
  int result = 0;
  std::thread tests([&] {
    result = RUN_ALL_TESTS();
    gui.Post([] { QCoreApplication::quit(); });
  });
  QApplication::exec();
  tests.join();
  return result;
}
