// The widgets a template becomes: the dialog's frame (its keyboard, close box and paint
// requests go to the dialog's procedure as the window layer's messages), the drawn
// panels, and the builder that lays every control out from its template.
#pragma once
#include <QIcon>
#include <QLabel>
#include <QWidget>
#include <map>
#include <memory>

#include "res/dialog_templates.h"
#include "ui/qt/panel_image.h"
#include "window/window.h"

namespace ui::qt {

class QtWindow;
class QtWindowSystem;

class DialogWidget : public QWidget {
 public:
  DialogWidget(QtWindow* window, QWidget* owner, Qt::WindowFlags flags);
  // The builder registers each control whose keys or focus the dialog watches.
  void Watch(QWidget* control, QtWindow* window);

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void paintEvent(QPaintEvent* event) override;
  void moveEvent(QMoveEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void StoreFrame();
  void Command(int32_t id);

  QtWindow* window_;
  std::map<QObject*, QtWindow*> watched_;
};

// A static control that may be drawn into: once a canvas has painted its picture, the
// picture is what it shows.
class PanelLabel : public QLabel {
 public:
  PanelLabel(std::shared_ptr<PanelImage> image, QWidget* parent);

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  std::shared_ptr<PanelImage> image_;
};

// The program's icon, every size of the icon group.
QIcon ProgramIcon();

class DialogBuilder {
 public:
  // The dialog and its controls, laid out from the template in the font it names on a
  // screen of `pixelsPerInch`; hidden until shown. GUI thread.
  static std::unique_ptr<QtWindow> Build(QtWindowSystem* system,
                                         const res::DialogTemplate& dialogTemplate, QtWindow* owner,
                                         MessageProc procedure, int32_t pixelsPerInch);
};

}  // namespace ui::qt
