// The system's own dialogs: message boxes as their flags ask, the save dialog, and
// "open" of documents with its failures as the shell's codes.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include "platform/message_box.h"
#include "qt_test_support.h"
#include "ui/qt/standard_dialogs.h"
#include "window/document_open.h"

namespace ui::qt::test {
namespace {

std::u16string U16(const QString& text) {
  return std::u16string(reinterpret_cast<const char16_t*>(text.utf16()),
                        static_cast<size_t>(text.size()));
}

template <typename W>
W* OpenWindow() {
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    if (auto* found = qobject_cast<W*>(widget); found && found->isVisible()) return found;
  }
  return nullptr;
}

TEST(QtSystemDialogsTest, MessageBoxesShowTheirFlagsAndEnterGivesTheDefaultButton) {
  QtHarness harness;
  Window* main = harness.System().CreateDialog("TARNWICK", nullptr, nullptr);
  struct Case {
    uint32_t flags;
    QMessageBox::Icon icon;
    QMessageBox::StandardButtons buttons;
    int enterAnswer;
  };
  const Case cases[] = {
      {MB_OK | MB_ICONEXCLAMATION, QMessageBox::Warning, QMessageBox::Ok, IDOK},
      {MB_OKCANCEL | MB_ICONERROR | 0x100, QMessageBox::Critical,
       QMessageBox::Ok | QMessageBox::Cancel, IDCANCEL},
      {MB_YESNO | MB_ICONQUESTION, QMessageBox::Question, QMessageBox::Yes | QMessageBox::No,
       IDYES},
      {MB_OK | MB_TOPMOST, QMessageBox::NoIcon, QMessageBox::Ok, IDOK},
  };
  for (const Case& c : cases) {
    std::atomic<int> answer{0};
    std::atomic<bool> answered{false};
    std::thread worker([&] {
      answer =
          harness.System().MessageBox(c.flags & MB_TOPMOST ? nullptr : main,
                                      u"Setting <b>debug</b> mode.\nLog", u"Tarnwick", c.flags);
      answered = true;
    });
    ASSERT_TRUE(WaitUntil([&] { return harness.OpenBoxes() == 1; }));
    OnGui([&] {
      QMessageBox* box = OpenWindow<QMessageBox>();
      ASSERT_NE(box, nullptr);
      EXPECT_EQ(box->windowTitle(), QStringLiteral("Tarnwick"));
      EXPECT_EQ(box->text(), QStringLiteral("Setting <b>debug</b> mode.\nLog"));
      EXPECT_EQ(box->textFormat(), Qt::PlainText);
      EXPECT_EQ(box->icon(), c.icon) << c.flags;
      EXPECT_EQ(box->standardButtons(), c.buttons) << c.flags;
      EXPECT_EQ(box->windowFlags().testFlag(Qt::WindowStaysOnTopHint), (c.flags & MB_TOPMOST) != 0);
      EXPECT_EQ(box->parentWidget() != nullptr, (c.flags & MB_TOPMOST) == 0);
      QTest::keyClick(box, Qt::Key_Return);
    });
    harness.Join(worker, answered);
    EXPECT_EQ(answer.load(), c.enterAnswer) << c.flags;
  }
}

TEST(QtSystemDialogsTest, SaveDialogStartsAtTheDefaultPathAddsTheExtensionAndAsksBeforeReplacing) {
  QtHarness harness;
  QtWindowSystem& system = harness.Qt();
  Window* main = system.CreateDialog("TARNWICK", nullptr, nullptr);
  QTemporaryDir folder;
  ASSERT_TRUE(folder.isValid());
  QFile existing(folder.filePath(QStringLiteral("old.txt")));
  ASSERT_TRUE(existing.open(QIODevice::WriteOnly));
  existing.close();

  auto run = [&](const std::function<void(QFileDialog*)>& user) {
    std::optional<std::u16string> chosen;
    std::atomic<bool> done{false};
    std::thread worker([&] {
      chosen = system.SaveFileDialog(main, u"Select a log file name", u"TXT Files (*.TXT)",
                                     U16(folder.filePath(QStringLiteral("20210305-140709.txt"))));
      done = true;
    });
    EXPECT_TRUE(
        WaitUntil([] { return OnGuiResult([] { return OpenWindow<QFileDialog>() != nullptr; }); }));
    QFileDialog* dialog = OnGuiResult([] { return OpenWindow<QFileDialog>(); });
    user(dialog);
    harness.Join(worker, done);
    return chosen;
  };
  // Accepting goes through the dialog's own loop (it may ask about replacing a file).
  auto accept = [&](QFileDialog* dialog, const QString& name) {
    OnGui([&] {
      auto* edit = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
      ASSERT_NE(edit, nullptr);
      edit->selectAll();
      QTest::keyClicks(edit, name);
    });
    system.Post([dialog] { static_cast<QDialog*>(dialog)->accept(); });
  };

  auto chosen = run([&](QFileDialog* dialog) {
    OnGui([&] {
      EXPECT_EQ(dialog->windowTitle(), QStringLiteral("Select a log file name"));
      EXPECT_EQ(dialog->acceptMode(), QFileDialog::AcceptSave);
      EXPECT_EQ(dialog->nameFilters(), QStringList{QStringLiteral("TXT Files (*.TXT)")});
      EXPECT_EQ(dialog->defaultSuffix(), QStringLiteral("txt"));
      EXPECT_EQ(dialog->directory().absolutePath(), QDir(folder.path()).absolutePath());
      EXPECT_EQ(dialog->selectedFiles().value(0),
                folder.filePath(QStringLiteral("20210305-140709.txt")));
    });
    accept(dialog, QStringLiteral("mylog"));
  });
  ASSERT_TRUE(chosen.has_value());
  EXPECT_EQ(*chosen, U16(folder.filePath(QStringLiteral("mylog.txt"))));

  chosen = run([&](QFileDialog* dialog) {
    accept(dialog, QStringLiteral("old.txt"));
    ASSERT_TRUE(WaitUntil([&] { return harness.OpenBoxes() == 1; }));
    EXPECT_TRUE(harness.AnswerBox(IDNO));  // keep it: the dialog stays
    EXPECT_TRUE(OnGuiResult([&] { return dialog->isVisible(); }));
    accept(dialog, QStringLiteral("old.txt"));
    ASSERT_TRUE(WaitUntil([&] { return harness.OpenBoxes() == 1; }));
    EXPECT_TRUE(harness.AnswerBox(IDYES));
  });
  ASSERT_TRUE(chosen.has_value());
  EXPECT_EQ(*chosen, U16(folder.filePath(QStringLiteral("old.txt"))));

  chosen = run([&](QFileDialog* dialog) { system.Post([dialog] { dialog->reject(); }); });
  EXPECT_FALSE(chosen.has_value());
}

// The mapping of failures is ui::OpenDocumentWithDesktop's (tested with it); here only
// that the Qt layer hands the path to the opener it was given and passes its verdict on.
TEST(QtSystemDialogsTest, OpenDocumentRunsTheGivenOpener) {
  QtHarness harness;
  QtWindowSystem& system = harness.Qt();
  QTemporaryDir folder;
  QFile page(folder.filePath(QStringLiteral("index.html")));
  ASSERT_TRUE(page.open(QIODevice::WriteOnly));
  page.close();
  const std::u16string pagePath = U16(page.fileName());
  const QString marker = folder.filePath(QStringLiteral("opened"));
  auto opener = [&](const char* name, const QString& body) {
    QFile script(folder.filePath(QString::fromLatin1(name)));
    EXPECT_TRUE(script.open(QIODevice::WriteOnly));
    script.write(("#!/bin/sh\n" + body + "\n").toUtf8());
    script.close();
    script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return script.fileName().toStdString();
  };

  system.SetDocumentOpener(opener("opens", QStringLiteral("echo \"$1\" > ") + marker));
  EXPECT_GT(system.OpenDocument(pagePath, u""), 32);
  QFile opened(marker);
  ASSERT_TRUE(opened.open(QIODevice::ReadOnly));
  EXPECT_EQ(QString::fromUtf8(opened.readAll()).trimmed(), page.fileName());
  EXPECT_EQ(system.OpenDocument(U16(folder.filePath(QStringLiteral("HTML/index.html"))), u""),
            OPEN_PATH_NOT_FOUND);

  system.SetDocumentOpener(opener("refuses", QStringLiteral("exit 3")));
  EXPECT_EQ(system.OpenDocument(pagePath, u""), OPEN_NO_ASSOCIATION);
}

}  // namespace
}  // namespace ui::qt::test
