// One dialog or control of the Qt window system. The object belongs to the system and
// lives as long as it does; the widget it stands for may go first (a destroyed dialog),
// and the object knows it through a QPointer. Calls from other threads are carried out
// on the GUI thread (the caller waits); geometry and canvases never wait for it.
#pragma once
#include <QPointer>
#include <QSize>
#include <QWidget>
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "res/dialog_templates.h"
#include "ui/qt/dialog_font.h"
#include "ui/qt/panel_image.h"
#include "window/window.h"

class QEventLoop;
class QTimer;

namespace ui::qt {

class QtWindowSystem;

class QtWindow : public Window {
 public:
  QtWindow(QtWindowSystem* system, QtWindow* parent, int32_t id, ControlClass controlClass,
           uint32_t style);
  ~QtWindow() override;

  int32_t Id() const override { return id_; }
  ControlClass Class() const override { return class_; }
  Window* Parent() const override { return parent_; }
  Window* Control(int32_t id) override;

  void Enable(bool enable) override;
  bool IsEnabled() const override;
  void Show(bool show) override;
  bool IsVisible() const override;

  void SetText(std::u16string_view text) override;
  std::u16string GetText(size_t maxChars) const override;
  void SetTextLimit(size_t maxChars) override;

  void ComboReset() override;
  int32_t ComboAdd(std::u16string_view text) override;
  int32_t ComboDelete(int32_t index) override;
  int32_t ComboFind(std::u16string_view text) const override;
  int32_t ComboSelect(int32_t index) override;
  int32_t ComboSelection() const override;
  int32_t ComboCount() const override;
  std::u16string ComboItemText(int32_t index) const override;

  void SetCheck(int32_t state) override;
  int32_t GetCheck() const override;

  void SetTrackRange(int32_t minimum, int32_t maximum) override;
  void SetTrackTickFrequency(int32_t frequency) override;
  void SetTrackPos(int32_t position) override;
  int32_t TrackPos() const override;

  void SetScrollInfo(int32_t minimum, int32_t maximum, int32_t page, int32_t position,
                     bool redraw) override;
  void SetScrollPos(int32_t position, bool redraw) override;
  int32_t ScrollPos() const override;

  Rect ClientRect() const override;
  Rect BoundsInParent() const override;
  void Move(Rect bounds, bool repaint) override;
  Rect DialogUnitsToPixels(Rect units) const override;

  std::unique_ptr<Canvas> GetCanvas() override;
  void Invalidate() override;

  bool SetTimer(int32_t id, uint32_t milliseconds) override;
  void KillTimer(int32_t id) override;
  void PostMessage(Message message) override;
  intptr_t SendMessage(const Message& message) override;
  void EndDialog(intptr_t result) override;
  void Destroy() override;

  // ---- The Qt side (GUI thread unless said otherwise) ----

  // The widget, or nullptr once it is gone.
  QWidget* Widget() const { return widget_.data(); }
  QtWindow* Dialog() { return parent_ != nullptr ? parent_ : this; }
  const res::DialogTemplate* Template() const { return template_; }
  uint32_t Style() const { return style_; }
  bool IsDestroyed() const { return destroyed_.load(); }
  // The picture drawn controls show; nullptr for controls that are not drawn into.
  std::shared_ptr<PanelImage> Image() const { return image_; }
  bool TimerActive(int32_t id) const;
  // Dialogs: the procedure, now. 0 once the dialog is destroyed.
  intptr_t Deliver(const Message& message);

 private:
  friend class QtWindowSystem;
  friend class DialogBuilder;
  friend class DialogWidget;

  // Runs `change` with the widget (cast to W) on the GUI thread; nothing when the widget
  // is gone or of another kind.
  template <typename W, typename F>
  void Change(F&& change);
  // Likewise for a reading; `neutral` when there is nothing to read.
  template <typename W, typename R, typename F>
  R Read(R neutral, F&& read) const;

  // A control's report to its dialog, as a command with this notification code.
  void Notify(int32_t code);
  // The user's hand on a control, as the Qt widgets report it.
  void OnButtonClicked();
  void OnSliderAction(int action);
  void OnSliderReleased();
  void OnKeyInRadioGroup(int key);
  // Radio groups: the members of this button's group, in template order.
  std::vector<QtWindow*> RadioGroup();
  // The checked member of each group (else its first) is the one Tab stops at.
  void RefreshRadioTabStops();
  void StoreBounds(Rect bounds);
  // Dialogs: a coalesced Paint message after the frame was painted.
  void SchedulePaintMessage();
  void ApplySliderRange();

  QtWindowSystem* system_;
  QtWindow* parent_;
  const int32_t id_;
  const ControlClass class_;
  const uint32_t style_;
  const res::DialogTemplate* template_ = nullptr;  // dialogs
  MessageProc procedure_;                          // dialogs
  std::vector<std::unique_ptr<QtWindow>> children_;
  QPointer<QWidget> widget_;
  std::shared_ptr<PanelImage> image_;  // static controls
  BaseUnits units_;                    // dialogs, fixed once built

  mutable std::mutex boundsLock_;
  Rect bounds_;       // guarded by boundsLock_; in the dialog's client area (dialogs: screen)
  QSize clientSize_;  // guarded by boundsLock_; dialogs

  std::atomic<bool> destroyed_{false};
  std::atomic<bool> modalEnded_{false};
  std::atomic<intptr_t> modalResult_{0};
  QEventLoop* modalLoop_ = nullptr;                    // GUI thread
  bool paintMessageDue_ = false;                       // GUI thread
  std::map<int32_t, std::unique_ptr<QTimer>> timers_;  // GUI thread

  // Window-layer ranges of scroll bars and trackbars, GUI thread.
  int32_t rangeMinimum_ = 0;
  int32_t rangeMaximum_ = 100;
  int32_t page_ = 0;
  int32_t position_ = 0;  // scroll bars: the position the program set
};

}  // namespace ui::qt
