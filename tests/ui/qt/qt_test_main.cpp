// The GUI thread is the main thread, as in the desktop program; the tests run beside it.
#include <gtest/gtest.h>

#include <QApplication>
#include <thread>

#include "ui/qt/gui_queue.h"

namespace ui::qt::test {
void SetGui(GuiQueue* gui);
}

// Qt and the libraries under it (glib's event loop, the D-Bus library) are not built for
// the thread sanitizer, and Qt's locks are futexes the sanitizer cannot see, so their own
// hand-overs (posted events, shared caches, bus connections) would look like races inside
// them. The sanitizer ignores what those libraries themselves call; everything of ours,
// including code they call back, stays checked.
extern "C" const char* __tsan_default_suppressions() {
  return "called_from_lib:libQt6Core.so.6\n"
         "called_from_lib:libQt6Gui.so.6\n"
         "called_from_lib:libQt6Widgets.so.6\n"
         "called_from_lib:libQt6DBus.so.6\n"
         "called_from_lib:libglib-2.0.so.0\n"
         "called_from_lib:libdbus-1.so.3\n";
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
