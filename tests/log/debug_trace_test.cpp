#include "log/debug_trace.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <thread>
#include <vector>

#include "log/log_test_support.h"
#include "log/system_description.h"
#include "platform/message_box.h"
#include "platform/paths.h"
#include "platform/text.h"

namespace {

std::atomic<uint64_t> g_tick{0};
uint64_t TestTick() {
  return g_tick.load();
}

// Own documents and temporary folders, a hand-driven clock, message boxes recorded.
class DebugTraceTest : public ::testing::Test {
 protected:
  DebugTraceTest() {
    documents_ = scratch_.path() / "Documents";
    temp_ = scratch_.path() / "tmp";
    std::filesystem::create_directories(documents_);
    std::filesystem::create_directories(temp_);
    setenv("XDG_DOCUMENTS_DIR", documents_.c_str(), 1);
    setenv("TMPDIR", temp_.c_str(), 1);
    ResetDebugTrace();
    g_tick = 5000;
    SetDebugTraceTickSource(&TestTick);
    SetMessageBoxHandler(
        [this](void*, std::u16string_view text, std::u16string_view caption, uint32_t flags) {
          boxes_.push_back(Utf16ToUtf8(text) + " | " + Utf16ToUtf8(caption) + " | " +
                           Format8("%X", flags));
          return IDOK;
        });
  }
  ~DebugTraceTest() override {
    ResetDebugTrace();
    SetMessageBoxHandler(nullptr);
  }

  std::filesystem::path TraceFile() const {
    return documents_ / "Quorvale" / "Tarnwick" / "TarnwickLog.txt";
  }
  // Documents "folder" that is a file: nothing can be created inside it.
  void BlockDocuments() {
    std::filesystem::remove_all(documents_);
    WriteWholeFile(documents_, "not a folder");
  }

  SavedEnv savedDocuments_{"XDG_DOCUMENTS_DIR"};
  SavedEnv savedTemp_{"TMPDIR"};
  ScratchFolder scratch_;
  std::filesystem::path documents_;
  std::filesystem::path temp_;
  std::vector<std::string> boxes_;  // text | caption | flags
};

// Splits at CR LF; a last line without one is marked.
std::vector<std::string> Lines(const std::string& bytes) {
  std::vector<std::string> lines;
  for (size_t start = 0, end; start < bytes.size(); start = end + 2) {
    end = std::min(bytes.find("\r\n", start), bytes.size());
    lines.push_back(bytes.substr(start, end - start) + (end == bytes.size() ? "<no CR LF>" : ""));
  }
  return lines;
}

}  // namespace

TEST_F(DebugTraceTest, DataFolderIsCreatedUnderTheDocumentsFolder) {
  EXPECT_EQ(GetDataFolder(), Utf8ToUtf16((documents_ / "Quorvale" / "Tarnwick").string()));
  EXPECT_TRUE(std::filesystem::is_directory(documents_ / "Quorvale" / "Tarnwick"));
  BlockDocuments();
  // Failing to create it is not an error; the path is still the answer.
  EXPECT_EQ(GetDataFolder(), Utf8ToUtf16((documents_ / "Quorvale" / "Tarnwick").string()));

  // The documents folder comes from the environment, then the user dirs, then home.
  SavedEnv savedHome("HOME"), savedConfig("XDG_CONFIG_HOME"), savedPath("PATH");
  const auto home = scratch_.path() / "home";
  std::filesystem::create_directories(home / "config");
  setenv("HOME", home.c_str(), 1);
  setenv("XDG_CONFIG_HOME", (home / "config").c_str(), 1);
  unsetenv("XDG_DOCUMENTS_DIR");
  const std::u16string fallback = Utf8ToUtf16((home / "Documents").string());

  EXPECT_EQ(DocumentsFolder(), fallback);
  if (std::filesystem::exists("/usr/bin/xdg-user-dir")) {
    WriteWholeFile(home / "config" / "user-dirs.dirs", "XDG_DOCUMENTS_DIR=\"$HOME/Papers\"\n");
    EXPECT_EQ(DocumentsFolder(), Utf8ToUtf16((home / "Papers").string()));
  }
  setenv("PATH", (scratch_.path() / "nothing-here").c_str(), 1);
  EXPECT_EQ(DocumentsFolder(), fallback);
  setenv("XDG_DOCUMENTS_DIR", documents_.c_str(), 1);
  EXPECT_EQ(DocumentsFolder(), Utf8ToUtf16(documents_.string()));
}

TEST_F(DebugTraceTest, LinesCarryElapsedSecondsAndEndInCrLf) {
  DebugMode = true;
  std::filesystem::create_directories(TraceFile().parent_path());
  WriteWholeFile(TraceFile(), "stale content from the last run\r\n");
  g_tick = 1000;
  OpenDebugTrace();
  EXPECT_EQ(ReadWholeFile(TraceFile()), "");
  EXPECT_EQ(DebugTracePath(), Utf8ToUtf16(TraceFile().string()));

  DebugTrace(u"first");
  g_tick = 13345;
  DebugTrace(u"DEBUG: SetTimer returned 1\n");
  DebugTrace(u"");
  DebugTrace(u"two\nlines");
  DebugTrace(u"\u00E9t\u00E9\n\n");
  // Past 2^24 ms single precision can no longer hold every millisecond: 20000001 ms
  // reads as 20000.000 s.
  g_tick = 1000 + 20000001;
  DebugTrace(u"late");
  EXPECT_EQ(ReadWholeFile(TraceFile()),
            "0.000s - first\r\n"
            "12.345s - DEBUG: SetTimer returned 1\r\n"
            "12.345s - \r\n"
            "12.345s - two\r\nlines\r\n"
            "12.345s - \xC3\xA9t\xC3\xA9\r\n\r\n"
            "20000.000s - late\r\n");

  // Formatted lines are cut to the work buffer; nothing at all is written while off.
  OpenDebugTrace();
  DebugTraceFormat("%s\n", std::string(3000, 'L').c_str());
  DebugMode = false;
  DebugTrace(u"hidden");
  DebugTraceFormat("hidden %d", 1);
  WriteDebugHeader();
  EXPECT_EQ(ReadWholeFile(TraceFile()), "0.000s - " + std::string(1023, 'L') + "\r\n");
}

TEST_F(DebugTraceTest, AnnouncesThePathEachTimeAndFallsBackToTheTemporaryFolder) {
  const std::string announced = TraceFile().string();
  AnnounceDebugMode();
  AnnounceDebugMode();
  EXPECT_TRUE(DebugMode);
  const std::string box = "Setting debug mode.\nLog will be written to the file,\n" + announced +
                          " | Tarnwick Debug Mode ON | 40000";
  EXPECT_EQ(boxes_, std::vector<std::string>(2, box));
  EXPECT_FALSE(std::filesystem::exists(TraceFile()));  // announcing creates nothing
  BlockDocuments();
  WriteDebugHeader();
  EXPECT_EQ(boxes_.size(), 2u);  // the fallback is silent
  EXPECT_EQ(DebugTracePath(), Utf8ToUtf16((temp_ / "TarnwickLog.txt").string()));
  DebugTrace(u"here");
  const std::vector<std::string> lines = Lines(ReadWholeFile(temp_ / "TarnwickLog.txt"));
  ASSERT_EQ(lines.size(), 8u);
  EXPECT_EQ(lines[4], "0.000s - DEBUG Path: " + announced);
  EXPECT_EQ(lines[7], "0.000s - here");

  ResetDebugTrace();  // as at process start: off, and no file to write to
  EXPECT_FALSE(DebugMode);
  EXPECT_EQ(DebugTracePath(), u"");
}

TEST_F(DebugTraceTest, TotalFailureIsToldOnceAndLinesAreDropped) {
  BlockDocuments();
  const auto blockedTemp = scratch_.path() / "tmp-file";
  WriteWholeFile(blockedTemp, "");
  setenv("TMPDIR", blockedTemp.c_str(), 1);
  DebugMode = true;
  OpenDebugTrace();
  EXPECT_TRUE(DebugMode);
  DebugTrace(u"dropped");
  EXPECT_EQ(ReadWholeFile(blockedTemp), "");
  EXPECT_EQ(boxes_, std::vector<std::string>{"Failed to create debug file: " +
                                             (blockedTemp / "TarnwickLog.txt").string() +
                                             ".\nPlease check that this directory is not write "
                                             "protected. | Tarnwick Startup Debug mode OFF | 0"});
}

TEST_F(DebugTraceTest, HeaderDescribesProgramSystemPathAndCommandLine) {
  AnnounceDebugMode();
  WriteDebugHeader();
  const std::vector<std::string> lines = Lines(ReadWholeFile(TraceFile()));
  ASSERT_EQ(lines.size(), 7u);
  char16_t system[1024];
  DescribeOperatingSystem(system, 1024);
  EXPECT_EQ(lines[0], "0.000s - DEBUG: Starting...");
  EXPECT_TRUE(MatchesShape(lines[1], "0.000s - DEBUG: Start time: ####/##/##, ##:##:##.*"))
      << lines[1];
  EXPECT_EQ(lines[2], "0.000s - DEBUG: Tarnwick V2.0 build 1009 64-Bit");
  EXPECT_EQ(lines[3], "0.000s - DEBUG OS: " + Utf16ToUtf8(system));
  EXPECT_EQ(lines[4], "0.000s - DEBUG Path: " + TraceFile().string());
  EXPECT_EQ(lines[5].rfind("0.000s - DEBUG Command line: ", 0), 0u) << lines[5];
  EXPECT_NE(lines[5].find("log_tests"), std::string::npos) << lines[5];
  EXPECT_TRUE(MatchesShape(lines[6], "0.000s - Date: ##/##/## ##:##:##")) << lines[6];
}

TEST_F(DebugTraceTest, WritersFromSeveralThreadsTakeTurns) {
  DebugMode = true;
  OpenDebugTrace();
  constexpr int kLines = 10;
  std::vector<std::thread> threads;
  for (int t = 0; t < 2; ++t)
    threads.emplace_back([t] {
      for (int i = 0; i < kLines; ++i)
        DebugTraceFormat("thread %d line %d %s", t, i, std::string(200, 'a' + t).c_str());
    });
  for (auto& thread : threads) thread.join();
  const std::vector<std::string> lines = Lines(ReadWholeFile(TraceFile()));
  ASSERT_EQ(lines.size(), 2u * kLines);
  int next[2] = {0, 0};
  for (const std::string& line : lines) {
    int t = -1, i = -1, used = 0;
    ASSERT_EQ(std::sscanf(line.c_str(), "0.000s - thread %d line %d %n", &t, &i, &used), 2) << line;
    ASSERT_TRUE(t == 0 || t == 1) << line;
    EXPECT_EQ(i, next[t]++);
    EXPECT_EQ(line.substr(static_cast<size_t>(used)), std::string(200, 'a' + t));
  }
}
