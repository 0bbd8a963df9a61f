#include "ui/about_box.h"

#include "log/product_info.h"
#include "platform/text.h"
#include "res/control_ids.h"

namespace {

// The platform word of the version line, as the product has always shown it.
constexpr char kPlatformWord[] = "WIN64";

// One axis of the placement: centred, then pulled back onto the screen.
int32_t CentredStart(int32_t parentStart, int32_t parentSize, int32_t size, int32_t screenSize) {
  int32_t start = parentStart + (parentSize - size) / 2;
  if (start < 0) {
    start = 0;
  } else if (start + size > screenSize) {
    start = screenSize - size;
  }
  return start;
}

}  // namespace

std::u16string AboutVersionText() {
  return Format16("%s %s (%s) %s", Utf16ToUtf8(ProductName).c_str(),
                  Utf16ToUtf8(ProductVersion).c_str(), Utf16ToUtf8(ProductBuild).c_str(),
                  kPlatformWord);
}

intptr_t AboutDlgProc(ui::Window* dialog, const ui::Message& message, ui::Window* mainWindow) {
  switch (message.kind) {
    case ui::MessageKind::InitDialog:
      CenterOverParent(dialog, mainWindow);
      if (ui::Window* version = dialog->Control(res::IDC_ABOUT_VERSION))
        version->SetText(AboutVersionText());
      return 1;
    case ui::MessageKind::Command:
      if (message.id == res::IDC_OK || message.id == res::IDC_CANCEL) {
        dialog->EndDialog(0);
        return 1;
      }
      return 0;
    case ui::MessageKind::Close:
      // The frame's close request, where a window manager offers one anyway.
      dialog->EndDialog(0);
      return 1;
    default:
      return 0;
  }
}

intptr_t RunAboutBox(ui::Window* mainWindow) {
  ui::WindowSystem* system = ui::GetWindowSystem();
  if (system == nullptr) return -1;
  return system->RunModalDialog("ABOUTBOX", mainWindow,
                                [mainWindow](ui::Window* dialog, const ui::Message& message) {
                                  return AboutDlgProc(dialog, message, mainWindow);
                                });
}

void CenterOverParent(ui::Window* dialog, ui::Window* parent) {
  if (dialog == nullptr || parent == nullptr) return;
  const ui::Rect own = dialog->BoundsInParent();
  const ui::Rect over = parent->BoundsInParent();
  ui::WindowSystem* system = ui::GetWindowSystem();
  const ui::ScreenMetrics screen = system != nullptr ? system->Screen() : ui::ScreenMetrics{};
  const int32_t x = CentredStart(over.left, over.Width(), own.Width(), screen.width);
  const int32_t y = CentredStart(over.top, over.Height(), own.Height(), screen.height);
  dialog->Move({x, y, x + own.Width(), y + own.Height()}, false);
}
