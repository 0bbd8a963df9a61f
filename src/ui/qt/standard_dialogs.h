// The system's own dialogs in Qt form: message boxes from their style flags and answers
// back as the flags' button ids, the save dialog from a title, a filter and a default
// path, and "open" of a document with its failures as the classic shell codes.
#pragma once
#include <QFileDialog>
#include <QMessageBox>
#include <QUrl>
#include <cstdint>
#include <functional>
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

// Shell result codes of "open": above 32 the document was handed on.
constexpr intptr_t SE_ERR_FNF = 2;        // file not found
constexpr intptr_t SE_ERR_PNF = 3;        // path not found
constexpr intptr_t SE_ERR_NOASSOC = 31;   // no application for it
constexpr intptr_t kOpenedDocument = 42;  // any value above 32 means success

// Opens a local path (or a URL with a scheme) with `opener`: the folder missing gives
// SE_ERR_PNF, the file missing SE_ERR_FNF, an opener that fails SE_ERR_NOASSOC.
intptr_t OpenDocumentCode(std::u16string_view path, const std::function<bool(const QUrl&)>& opener);

}  // namespace ui::qt
