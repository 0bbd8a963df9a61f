#include "ui/help_file.h"

#include "platform/message_box.h"
#include "platform/paths.h"
#include "window/document_open.h"

namespace {

constexpr char16_t kHelpFolder[] = u"HTML";
constexpr char16_t kHelpErrorTitle[] = u"Error opening browser";

}  // namespace

std::u16string HelpFilePath(std::u16string_view fileName) {
  return JoinPath(JoinPath(ProgramFolder(), kHelpFolder), fileName);
}

std::u16string_view HelpErrorText(intptr_t code) {
  switch (code) {
    case ui::OPEN_NO_ASSOCIATION:
      return u"There is no application associated with the given file name extension";
    case ui::OPEN_OUT_OF_MEMORY:
      return u"There was not enough memory to complete the operation";
    case ui::OPEN_PATH_NOT_FOUND:
      return u"The specified path was not found";
    case ui::OPEN_SHARING_VIOLATION:
      return u"A sharing violation occurred";
    default:
      return u"The specified file was not found";
  }
}

void OpenHelpFile(std::u16string_view fileName, std::u16string_view parameters, ui::Window* owner) {
  ui::WindowSystem* system = ui::GetWindowSystem();
  if (system == nullptr) return;
  const intptr_t result = system->OpenDocument(HelpFilePath(fileName), parameters);
  if (result > 32) return;
  system->MessageBox(owner, HelpErrorText(result), kHelpErrorTitle, MB_OK | MB_ICONEXCLAMATION);
}
