#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>

#include "platform/paths.h"
#include "ui/about_box.h"
#include "ui/help_file.h"
#include "ui_fixtures.h"
#include "window/document_open.h"

namespace {

using namespace res;

using AboutHelpTest = DialogFixture;

TEST_F(AboutHelpTest, AboutBoxShowsTheVersionLineCentredAndClosesWithOkOrEscape) {
  main_->Move({300, 200, 1100, 800}, false);
  HeadlessWindow* about = OpenModal("ABOUTBOX", RunAboutBox);
  ASSERT_NE(about, nullptr);
  EXPECT_EQ(about->Control(IDC_ABOUT_VERSION)->GetText(), u"Tarnwick V2.0 (1009) WIN64");
  const ui::Rect at = about->BoundsInParent();
  EXPECT_EQ(at.left, 300 + (800 - at.Width()) / 2);  // centred over the main window
  Click(about, IDC_OK);
  EXPECT_EQ(modalResult_.load(), 0);

  about = OpenModal("ABOUTBOX", RunAboutBox);
  ui::Message escape;
  escape.kind = ui::MessageKind::Command;
  escape.id = IDC_CANCEL;
  about->PostMessage(escape);
  system_.Flush();
  EXPECT_EQ(modalResult_.load(), 0);
  EXPECT_TRUE(about->IsDestroyed());
}

TEST_F(AboutHelpTest, CenterOverParentKeepsTheDialogOnTheScreen) {
  system_.SetScreen({1920, 1080, 96, 96});
  ui::Window* dialog = system_.CreateDialog("ABOUTBOX", nullptr, nullptr);
  const int32_t w = dialog->BoundsInParent().Width();
  const int32_t h = dialog->BoundsInParent().Height();
  struct Case {
    ui::Rect parent;
    int32_t x, y;
  } cases[] = {
      {{200, 100, 1000, 700}, 200 + (800 - w) / 2, 100 + (600 - h) / 2},
      {{-300, 100, 200, 700}, 0, 100 + (600 - h) / 2},         // partly off the left edge
      {{1700, -500, 2500, 100}, 1920 - w, 0},                  // off the right and top edges
      {{100, 900, 900, 1500}, 100 + (800 - w) / 2, 1080 - h},  // off the bottom edge
  };
  for (const Case& c : cases) {
    main_->Move(c.parent, false);
    CenterOverParent(dialog, main_);
    EXPECT_EQ(dialog->BoundsInParent(), (ui::Rect{c.x, c.y, c.x + w, c.y + h}));
  }
}

TEST_F(AboutHelpTest, HelpOpensTheGuideBesideTheProgramAndTellsEachFailure) {
  std::set<std::u16string> texts;
  for (intptr_t code : {33, 42, 31, 8, 3, 26, 2, 0, 32}) {
    SCOPED_TRACE(code);
    const size_t before = system_.MessageBoxes().size();
    system_.ScriptOpenDocumentResult(code);
    OpenHelpFile(HelpIndexFile, u"", main_);
    EXPECT_EQ(system_.OpenedDocuments().back(), ProgramFolder() + u"/HTML/index.html");
    const auto boxes = system_.MessageBoxes();
    ASSERT_EQ(boxes.size(), before + (code <= 32 ? 1 : 0));
    if (code > 32) continue;
    EXPECT_EQ(boxes.back().text, HelpErrorText(code));
    EXPECT_EQ(boxes.back().caption, u"Error opening browser");
    EXPECT_EQ(boxes.back().flags, MB_OK | MB_ICONEXCLAMATION);
    EXPECT_EQ(boxes.back().owner, main_);
    texts.insert(boxes.back().text);
  }
  // Four codes with words of their own; every other failure is a file not found.
  EXPECT_EQ(texts.size(), 5u);
  EXPECT_EQ(HelpErrorText(0), HelpErrorText(2));
  EXPECT_EQ(HelpErrorText(32), HelpErrorText(2));
}

// The desktop "open" on real folders, with stand-in openers that end as a real one would.
class DocumentOpenTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = Utf16ToUtf8(TempFolder()) + "/tarnwick-help-XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    folder_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(folder_); }

  std::string Opener(const std::string& name, const std::string& body, mode_t mode = 0755) {
    const std::string path = folder_ + "/" + name;
    std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
    chmod(path.c_str(), mode);
    return path;
  }
  std::u16string Page() const { return Utf8ToUtf16(folder_ + "/HTML/index.html"); }

  std::string folder_;
};

TEST_F(DocumentOpenTest, LinuxFailuresBecomeTheShellsCodes) {
  const std::string marker = folder_ + "/opened";
  const std::string opener = Opener("opener", "echo \"$1\" > " + marker);
  EXPECT_EQ(ui::OpenDocumentWithDesktop(Page(), opener.c_str()), ui::OPEN_PATH_NOT_FOUND);
  std::filesystem::create_directories(folder_ + "/HTML/index.html");
  EXPECT_EQ(ui::OpenDocumentWithDesktop(Page(), opener.c_str()), ui::OPEN_FILE_NOT_FOUND);
  std::filesystem::remove(folder_ + "/HTML/index.html");
  EXPECT_EQ(ui::OpenDocumentWithDesktop(Page(), opener.c_str()), ui::OPEN_FILE_NOT_FOUND);
  EXPECT_FALSE(std::filesystem::exists(marker));  // nothing is started for a missing page

  std::ofstream(folder_ + "/HTML/index.html") << "<html/>";
  EXPECT_GT(ui::OpenDocumentWithDesktop(Page(), opener.c_str()), 32);
  std::ifstream opened(marker);
  std::string argument;
  std::getline(opened, argument);
  EXPECT_EQ(argument, Utf16ToUtf8(Page()));

  struct Case {
    std::string body;
    intptr_t code;
  } cases[] = {{"exit 2", ui::OPEN_FILE_NOT_FOUND},
               {"exit 3", ui::OPEN_NO_ASSOCIATION},
               {"exit 4", ui::OPEN_NO_ASSOCIATION},
               {"exit 1", ui::OPEN_FAILED},
               {"kill -9 $$", ui::OPEN_FAILED}};
  for (const Case& c : cases) {
    EXPECT_EQ(ui::OpenDocumentWithDesktop(Page(), Opener("ends", c.body).c_str()), c.code)
        << c.body;
  }
  EXPECT_EQ(ui::OpenDocumentWithDesktop(Page(), (folder_ + "/no-such-opener").c_str()),
            ui::OPEN_NO_ASSOCIATION);
  EXPECT_EQ(ui::OpenDocumentWithDesktop(Page(), Opener("not-runnable", "", 0644).c_str()),
            ui::OPEN_NO_ASSOCIATION);
}

}  // namespace
