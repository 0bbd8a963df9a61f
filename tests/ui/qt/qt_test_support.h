// Qt tests run as the headless ones do: the GUI thread (the process's main thread, as in
// the desktop program) serves its event loop, and each test plays the user from the
// test thread. Work for the GUI thread goes through a queue of the window layer's kind,
// so every hand-over is visible to the thread sanitizer.
#pragma once
#include <chrono>
#include <functional>
#include <memory>
#include <string_view>

#include "ui/qt/gui_queue.h"
#include "ui/qt/qt_window_system.h"
#include "ui/window_harness.h"

class QWidget;

namespace ui::qt::test {

// The queue the test thread uses to reach the GUI thread (set up by the test main).
GuiQueue& Gui();
// Runs work on the GUI thread and waits for it.
void OnGui(const std::function<void()>& work);
template <typename F>
auto OnGuiResult(F&& read) {
  decltype(read()) result{};
  OnGui([&] { result = read(); });
  return result;
}
// Polls until done() holds while the GUI thread goes its own way; false at the deadline.
bool WaitUntil(const std::function<bool()>& done,
               std::chrono::milliseconds timeout = std::chrono::seconds(10));

// A window system made and destroyed on the GUI thread.
struct SystemDeleter {
  void operator()(QtWindowSystem* system) const;
};
using SystemPtr = std::unique_ptr<QtWindowSystem, SystemDeleter>;
SystemPtr MakeSystem();

// The widget of a window (GUI thread).
QWidget* WidgetOf(Window* window);
template <typename W>
W* WidgetAs(Window* window) {
  return qobject_cast<W*>(WidgetOf(window));
}

// The contract's harness over a Qt window system.
class QtHarness : public contract::Harness {
 public:
  QtHarness();
  WindowSystem& System() override { return *system_; }
  QtWindowSystem& Qt() { return *system_; }
  bool WaitUntil(const std::function<bool()>& done) override;
  void Click(Window* control) override;
  void Select(Window* combo, int32_t index) override;
  void Type(Window* edit, std::u16string_view text) override;
  size_t OpenBoxes() override;
  bool AnswerBox(int answer) override;

 private:
  SystemPtr system_;
};

}  // namespace ui::qt::test
