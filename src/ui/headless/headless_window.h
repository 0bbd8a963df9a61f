// One dialog or control of the headless window system: its state in memory (text,
// items, checks, positions, enabled and visible flags) and the control's own reactions
// to the user's hand. Changes made off the user-interface thread are carried out there,
// as the window layer promises; reads take the system's state lock only.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "res/dialog_templates.h"
#include "ui/headless/recording_canvas.h"
#include "window/window.h"

namespace ui::headless {

class HeadlessWindowSystem;

class HeadlessWindow : public Window {
 public:
  HeadlessWindow(HeadlessWindowSystem* system, HeadlessWindow* parent, int32_t id,
                 ControlClass controlClass);

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

  // What tests look at beyond the Window interface.
  struct TrackState {
    int32_t minimum = 0, maximum = 100, frequency = 1, position = 0;
  };
  struct ScrollState {
    int32_t minimum = 0, maximum = 100, page = 0, position = 0;
  };
  TrackState Track() const;
  ScrollState Scroll() const;
  size_t TextLimit() const;
  uint32_t Style() const;
  int32_t InvalidateCount() const;
  bool IsDestroyed() const;
  const res::DialogTemplate* Template() const { return template_; }
  // The drawing record of this window; every canvas taken on it writes here.
  std::shared_ptr<DrawingRecord> Drawing() const { return drawing_; }
  HeadlessWindow* Dialog();  // itself for a dialog, the parent for a control

  // What the control does when the user's hand reaches it, on the user-interface
  // thread: a disabled (or hidden, for clicks) control ignores the hand; otherwise the
  // control changes as the real one would (radio groups, check boxes, number-only
  // edits, trackbar thumbs) and then reports to its dialog.
  void UserClicked();
  void UserSelected(int32_t index);
  void UserTyped(std::u16string_view text);
  void UserLeft();
  void UserScrolled(int32_t code, int32_t thumb);
  void UserClosed();

 private:
  friend class HeadlessWindowSystem;
  // Runs a change on the user-interface thread, under the state lock.
  void Change(const std::function<void()>& change);
  // Sends a control notification to the dialog's procedure.
  void Notify(int32_t code);
  // Dialogs: the dialog units of their template's font on this screen.
  void TakeFont(int32_t points, int32_t pixelsPerInchY);

  HeadlessWindowSystem* system_;
  HeadlessWindow* parent_;
  const int32_t id_;
  const ControlClass class_;
  const res::DialogTemplate* template_ = nullptr;  // dialogs
  MessageProc procedure_;                          // dialogs
  std::vector<std::unique_ptr<HeadlessWindow>> children_;
  std::shared_ptr<DrawingRecord> drawing_;
  uint32_t style_ = 0;  // from the template, fixed once built

  // Guarded by the system's state lock.
  bool enabled_ = true;
  bool visible_ = true;
  std::u16string text_;
  size_t textLimit_ = 0;
  std::vector<std::u16string> items_;
  int32_t selection_ = CB_ERR;
  int32_t check_ = BST_UNCHECKED;
  TrackState track_;
  ScrollState scroll_;
  Rect bounds_;
  int32_t invalidateCount_ = 0;
  int32_t unitX_ = 6;  // dialog base units in pixels (dialogs)
  int32_t unitY_ = 13;

  std::atomic<bool> destroyed_{false};  // read by drawing threads
  // Modal loop state.
  std::atomic<bool> modalEnded_{false};
  std::atomic<intptr_t> modalResult_{0};
};

}  // namespace ui::headless
