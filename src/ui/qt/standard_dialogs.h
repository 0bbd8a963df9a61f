// The system's own dialogs in Qt form: message boxes from their style flags and answers
// back as the flags' button ids, and the save dialog from a title, a filter and a default
// path.
#pragma once
#include <QFileDialog>
#include <QMessageBox>
#include <cstdint>
#include <memory>
#include <string_view>

namespace ui::qt {

// The answer of the flags' default button (what a box gives when nobody can be asked).
int DefaultAnswer(uint32_t flags);
// A box with the text, title, buttons, default button and icon of the flags; "always on
// top" as the window manager allows. Not yet shown.
std::unique_ptr<QMessageBox> MakeMessageBox(QWidget* owner, std::u16string_view text,
                                            std::u16string_view caption, uint32_t flags);
// The button id the user chose, or the default answer when the box was never answered.
int MessageBoxAnswer(const QMessageBox& box, uint32_t flags);

// A save dialog: `filter` is "Description (*.ext)" or the description and its pattern
// separated by a NUL; the pattern's extension is added to names typed without one; an
// existing file is confirmed before it is replaced; `initialPath` names the folder and
// file the dialog starts with. Not yet shown.
std::unique_ptr<QFileDialog> MakeSaveDialog(QWidget* owner, std::u16string_view title,
                                            std::u16string_view filter,
                                            std::u16string_view initialPath);

}  // namespace ui::qt
