#include "qt_test_support.h"

#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <thread>

#include "platform/message_box.h"

namespace ui::qt::test {
namespace {

GuiQueue* g_gui = nullptr;

QMessageBox* OldestOpenBox() {
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    auto* box = qobject_cast<QMessageBox*>(widget);
    if (box != nullptr && box->isVisible()) return box;
  }
  return nullptr;
}

}  // namespace

void SetGui(GuiQueue* gui) {
  g_gui = gui;
}

GuiQueue& Gui() {
  return *g_gui;
}

void OnGui(const std::function<void()>& work) {
  Gui().Invoke(work);
}

bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

void SystemDeleter::operator()(QtWindowSystem* system) const {
  OnGui([system] { delete system; });
}

SystemPtr MakeSystem() {
  return SystemPtr(OnGuiResult([] { return new QtWindowSystem(); }));
}

QWidget* WidgetOf(Window* window) {
  return static_cast<QtWindow*>(window)->Widget();
}

QtHarness::QtHarness() : system_(MakeSystem()) {}

bool QtHarness::WaitUntil(const std::function<bool()>& done) {
  return test::WaitUntil(done);
}

// The hand is posted to the window system's own queue: whatever the action opens (a modal
// dialog, a box), the flush behind it runs in that loop and returns.
void QtHarness::Click(Window* control) {
  System().Post([control] {
    if (QWidget* widget = WidgetOf(control)) QTest::mouseClick(widget, Qt::LeftButton);
  });
  Flush();
}

void QtHarness::Select(Window* combo, int32_t index) {
  System().Post([combo, index] {
    if (auto* box = WidgetAs<QComboBox>(combo)) {
      box->setCurrentIndex(index);
      emit box->activated(index);
    }
  });
  Flush();
}

void QtHarness::Type(Window* edit, std::u16string_view text) {
  const QString typed = QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size()));
  System().Post([edit, typed] {
    if (auto* line = WidgetAs<QLineEdit>(edit)) {
      line->clear();
      QTest::keyClicks(line, typed);
    }
  });
  Flush();
}

size_t QtHarness::OpenBoxes() {
  return OnGuiResult([] {
    size_t count = 0;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
      if (qobject_cast<QMessageBox*>(widget) != nullptr && widget->isVisible()) ++count;
    }
    return count;
  });
}

bool QtHarness::AnswerBox(int answer) {
  return OnGuiResult([answer] {
    QMessageBox* box = OldestOpenBox();
    if (box == nullptr) return false;
    const QMessageBox::StandardButton which = answer == IDOK       ? QMessageBox::Ok
                                              : answer == IDCANCEL ? QMessageBox::Cancel
                                              : answer == IDYES    ? QMessageBox::Yes
                                                                   : QMessageBox::No;
    QAbstractButton* button = box->button(which);
    if (button == nullptr) return false;
    button->click();
    return true;
  });
}

}  // namespace ui::qt::test
