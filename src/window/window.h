// The window layer: what the shell needs from a window manager, and nothing more.
// Every dialog and every control is a Window (addressed by its template id inside its
// dialog); drawing goes through a Canvas taken per paint; message boxes, timers, modal
// loops and cross-thread work go through the WindowSystem. The desktop build implements
// it with one widget per control and a canvas that paints into the widget's image; the
// headless build (tests, command line) keeps the same state in memory and records
// what is drawn. Layers below the shell (plug management, the engines) may use this
// interface too; it links nothing but the value types of window/types.h.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "window/types.h"

namespace ui {

// One drawing context on one control: the canvas contract.
// - A canvas may be taken on any thread. It paints into the control's backing image,
//   never straight onto the screen, and holds that image's lock from GetCanvas until it
//   is destroyed: one paint is never interleaved with another on the same control, and
//   a second canvas on it (from any thread) waits until the first is gone.
// - The user-interface thread only copies the image to the screen. Releasing a canvas
//   asks for that copy (coalesced with any copy already due) and never waits for it.
// - While a thread holds a canvas it must not wait for the user-interface thread (no
//   Window call that is carried out there, no message box, no Invoke): the user-interface
//   thread may itself be waiting for the image. Take the canvas, paint, let it go.
// - Each call stands alone (pen, brush, font and colours are arguments).
class Canvas {
 public:
  virtual ~Canvas() = default;
  // Outline with the pen, interior with the brush.
  virtual void Rectangle(Rect rect, const Pen& pen, const Brush& brush) = 0;
  virtual void FillRect(Rect rect, const Brush& brush) = 0;
  // Horizontal two-colour gradient. False when this canvas cannot do gradients; the
  // caller then paints something flat instead.
  virtual bool GradientBand(Rect rect, Colour left, Colour right) = 0;
  virtual void Line(Point from, Point to, const Pen& pen) = 0;
  // Transparent background; nothing outside clip (when given) is touched.
  virtual void Text(Point at, std::u16string_view text, const Font& font, Colour colour,
                    const Rect* clip) = 0;
  // Plain source copy at the picture's own size.
  virtual void CopyPicture(Point at, const MonoPicture& picture) = 0;
};

enum class MessageKind : uint8_t {
  Create,      // a dialog's window was created (before InitDialog)
  InitDialog,  // a dialog and its controls exist (modal dialogs: before the loop starts)
  Command,     // id = control id, code = notification code
  Timer,       // id = timer id
  VScroll,     // code = scroll code, value = thumb position, id = control id
  HScroll,     // likewise
  Paint,
  Size,   // value = new client width, extra = new client height
  Close,  // the frame's close box or Alt+F4
  Destroy,
  DeviceChange,    // code = event, payload in `text` (path) and `value` (handle)
  PowerBroadcast,  // code = power event
  User,            // posted by the application; id tells which
};

// Notification codes the shell distinguishes.
constexpr int32_t CBN_SELENDOK = 9;      // a combo box selection was accepted
constexpr int32_t EN_CHANGE = 0x300;     // an edit box's text changed
constexpr int32_t EN_KILLFOCUS = 0x200;  // an edit box lost the focus
constexpr int32_t BN_CLICKED = 0;

// Scroll codes.
constexpr int32_t SB_LINEUP = 0;
constexpr int32_t SB_LINEDOWN = 1;
constexpr int32_t SB_PAGEUP = 2;
constexpr int32_t SB_PAGEDOWN = 3;
constexpr int32_t SB_THUMBPOSITION = 4;
constexpr int32_t SB_THUMBTRACK = 5;
constexpr int32_t SB_TOP = 6;
constexpr int32_t SB_BOTTOM = 7;
constexpr int32_t SB_ENDSCROLL = 8;

constexpr int32_t BST_UNCHECKED = 0;
constexpr int32_t BST_CHECKED = 1;

constexpr int32_t CB_ERR = -1;

struct Message {
  MessageKind kind = MessageKind::User;
  int32_t id = 0;
  int32_t code = 0;
  int64_t value = 0;
  int64_t extra = 0;
  std::u16string text;
};

class Window;
// The window procedure: the result is what the message's sender gets back.
using MessageProc = std::function<intptr_t(Window* window, const Message& message)>;

// A dialog or one of its controls. Calls may come from any thread: a call made off the
// user-interface thread is carried out on that thread (the caller waits for it), so the
// user-interface thread must never wait without a time limit for a thread that may
// call in. GetCanvas and PostMessage are the exceptions: they never wait for that thread.
// Calls that do not apply to the window's class do nothing and return the neutral value.
class Window {
 public:
  virtual ~Window() = default;

  virtual int32_t Id() const = 0;
  virtual ControlClass Class() const = 0;
  virtual Window* Parent() const = 0;
  // The control with this id in this dialog, or nullptr.
  virtual Window* Control(int32_t id) = 0;

  virtual void Enable(bool enable) = 0;
  virtual bool IsEnabled() const = 0;
  virtual void Show(bool show) = 0;
  virtual bool IsVisible() const = 0;

  virtual void SetText(std::u16string_view text) = 0;
  // At most maxChars characters of the text.
  virtual std::u16string GetText(size_t maxChars = 65535) const = 0;
  // Longest text the user can type (edit boxes); 0 = no limit.
  virtual void SetTextLimit(size_t maxChars) = 0;

  // Combo boxes (drop-down lists).
  virtual void ComboReset() = 0;
  virtual int32_t ComboAdd(std::u16string_view text) = 0;         // index of the new item
  virtual int32_t ComboDelete(int32_t index) = 0;                 // items left, or CB_ERR
  virtual int32_t ComboFind(std::u16string_view text) const = 0;  // exact, or CB_ERR
  virtual int32_t ComboSelect(int32_t index) = 0;  // the index, or CB_ERR (-1 clears)
  virtual int32_t ComboSelection() const = 0;      // CB_ERR when nothing is selected
  virtual int32_t ComboCount() const = 0;
  virtual std::u16string ComboItemText(int32_t index) const = 0;  // empty when out of range

  // Buttons.
  virtual void SetCheck(int32_t state) = 0;
  virtual int32_t GetCheck() const = 0;

  // Trackbars.
  virtual void SetTrackRange(int32_t minimum, int32_t maximum) = 0;
  virtual void SetTrackTickFrequency(int32_t frequency) = 0;
  virtual void SetTrackPos(int32_t position) = 0;
  virtual int32_t TrackPos() const = 0;

  // Scroll bars.
  virtual void SetScrollInfo(int32_t minimum, int32_t maximum, int32_t page, int32_t position,
                             bool redraw) = 0;
  virtual void SetScrollPos(int32_t position, bool redraw) = 0;
  virtual int32_t ScrollPos() const = 0;

  // Geometry in pixels. ClientRect has left and top 0; BoundsInParent is the window's
  // outer rectangle in its dialog's client coordinates (a dialog: on the screen).
  virtual Rect ClientRect() const = 0;
  virtual Rect BoundsInParent() const = 0;
  virtual void Move(Rect bounds, bool repaint) = 0;
  // Dialog units to pixels for this window's dialog font.
  virtual Rect DialogUnitsToPixels(Rect units) const = 0;

  // A drawing context for the client area (see the canvas contract above), or nullptr
  // when none can be had.
  virtual std::unique_ptr<Canvas> GetCanvas() = 0;
  virtual void Invalidate() = 0;

  // Dialogs only: periodic timers by id (a second SetTimer with the same id restarts it).
  virtual bool SetTimer(int32_t id, uint32_t milliseconds) = 0;
  virtual void KillTimer(int32_t id) = 0;
  // Queues a message for this window's procedure on the user-interface thread.
  virtual void PostMessage(Message message) = 0;
  // Delivers a message to the procedure now (on the user-interface thread) and returns
  // its result.
  virtual intptr_t SendMessage(const Message& message) = 0;
  // Modal dialogs: leave the dialog's loop with this result.
  virtual void EndDialog(intptr_t result) = 0;
  // Modeless dialogs: Destroy message, then the window is gone.
  virtual void Destroy() = 0;
};

struct ScreenMetrics {
  int32_t width = 1920;
  int32_t height = 1080;
  int32_t pixelsPerInchX = 96;
  int32_t pixelsPerInchY = 96;
};

class WindowSystem {
 public:
  virtual ~WindowSystem() = default;

  // A modeless dialog from a template of res/, or nullptr when the template is unknown.
  // The procedure gets every message of the dialog, its controls' notifications included.
  virtual Window* CreateDialog(std::string_view templateName, Window* owner,
                               MessageProc procedure) = 0;
  // A modal dialog: runs a nested loop until EndDialog; returns its result, or -1 when
  // the template is unknown.
  virtual intptr_t RunModalDialog(std::string_view templateName, Window* owner,
                                  MessageProc procedure) = 0;

  // Answer is IDOK, IDCANCEL, IDYES or IDNO. From another thread the caller waits for
  // the answer.
  virtual int MessageBox(Window* owner, std::u16string_view text, std::u16string_view caption,
                         uint32_t flags) = 0;
  // The chosen path, or nothing when the user cancels.
  virtual std::optional<std::u16string> SaveFileDialog(Window* owner, std::u16string_view title,
                                                       std::u16string_view filter,
                                                       std::u16string_view initialName) = 0;
  // "open" of a document: above 32 it was handed on; 32 or below is the failure code.
  virtual intptr_t OpenDocument(std::u16string_view path, std::u16string_view parameters) = 0;
  virtual void Beep() = 0;
  virtual ScreenMetrics Screen() const = 0;

  // Runs work on the user-interface thread later (from any thread, that one included).
  virtual void Post(std::function<void()> work) = 0;
  // Runs work on the user-interface thread and waits for it (runs at once on that thread).
  virtual void Invoke(const std::function<void()>& work) = 0;
  virtual bool IsUiThread() const = 0;

  // The main loop on the calling thread, which becomes the user-interface thread, until
  // Quit; returns the quit code.
  virtual int RunMessageLoop() = 0;
  virtual void Quit(int code) = 0;
};

// The process's window system, installed by the front end at start-up (nullptr: none).
// Installing it routes nothing else: the front end also decides where the lower
// layers' message boxes go (InstallMessageBoxHandler in ui/front_end.h).
WindowSystem* GetWindowSystem();
void SetWindowSystem(WindowSystem* system);

}  // namespace ui
