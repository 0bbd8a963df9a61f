// What the headless window system adds to the window contract (which it also runs):
// manual timers, loop depth, message-box scripting and observation, standing in for
// the user-interface thread, and the recording canvas.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/message_box.h"
#include "res/control_ids.h"
#include "ui/headless/headless_window_system.h"

namespace ui::headless {
namespace {

class HeadlessLoopTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::promise<void> started;
    system_.Post([&] {
      uiThread_ = std::this_thread::get_id();
      started.set_value();
    });
    loop_ = std::thread([this] { exitCode_ = system_.RunMessageLoop(); });
    started.get_future().wait();
  }
  void TearDown() override {
    system_.Quit(7);
    loop_.join();
    EXPECT_EQ(exitCode_, 7);
  }

  struct Seen {
    MessageKind kind;
    int32_t id;
    int32_t code;
    bool onUiThread;
  };
  MessageProc Recorder(MessageProc also = nullptr) {
    return [this, also](Window* window, const Message& message) -> intptr_t {
      {
        std::lock_guard lock(seenLock_);
        seen_.push_back(
            {message.kind, message.id, message.code, std::this_thread::get_id() == uiThread_});
      }
      return also ? also(window, message) : 0;
    };
  }
  std::vector<Seen> SeenOf(MessageKind kind) {
    std::lock_guard lock(seenLock_);
    std::vector<Seen> result;
    for (const Seen& s : seen_) {
      if (s.kind == kind) result.push_back(s);
    }
    return result;
  }

  HeadlessWindowSystem system_;
  std::thread loop_;
  std::thread::id uiThread_;
  int exitCode_ = -1;
  std::mutex seenLock_;
  std::vector<Seen> seen_;
};

TEST_F(HeadlessLoopTest, TimersTickByPeriodUntilKilled) {
  system_.SetManualTimers(true);
  Window* main = system_.CreateDialog("TARNWICK", nullptr,
                                      Recorder([](Window* window, const Message& message) {
                                        // Timer 3 is a one-shot.
                                        if (message.kind == MessageKind::Timer && message.id == 3)
                                          window->KillTimer(3);
                                        return intptr_t{0};
                                      }));
  ASSERT_TRUE(main->SetTimer(1, 1000));
  ASSERT_TRUE(main->SetTimer(3, 5000));
  EXPECT_FALSE(main->Control(res::IDC_START)->SetTimer(1, 10));  // controls have none
  system_.AdvanceTime(999);
  system_.Flush();
  EXPECT_TRUE(SeenOf(MessageKind::Timer).empty());
  system_.AdvanceTime(11001);
  system_.Flush();
  const auto ticks = SeenOf(MessageKind::Timer);
  int ones = 0, threes = 0;
  for (const Seen& tick : ticks) {
    EXPECT_TRUE(tick.onUiThread);
    (tick.id == 1 ? ones : threes)++;
  }
  EXPECT_EQ(ones, 12);
  EXPECT_EQ(threes, 1);
  EXPECT_FALSE(system_.TimerActive(main, 3));
  main->KillTimer(1);
  system_.AdvanceTime(5000);
  system_.Flush();
  EXPECT_EQ(SeenOf(MessageKind::Timer).size(), ticks.size());
}

TEST_F(HeadlessLoopTest, ModalLoopsNestServeTheOwnerAndEndByEndDialogOrDestruction) {
  std::atomic<intptr_t> aboutResult{-5};
  std::atomic<intptr_t> confResult{-5};
  std::atomic<int32_t> depthInside{0};
  MessageProc aboutProc = [](Window* window, const Message& message) -> intptr_t {
    if (message.kind == MessageKind::Close) window->Destroy();
    return 0;
  };
  MessageProc confProc = [&](Window* window, const Message& message) -> intptr_t {
    if (message.kind == MessageKind::Command && message.id == res::IDC_OK)
      aboutResult = system_.RunModalDialog("ABOUTBOX", window, aboutProc);
    if (message.kind == MessageKind::Command && message.id == res::IDC_CANCEL) window->EndDialog(2);
    return 0;
  };
  Window* main = system_.CreateDialog(
      "TARNWICK", nullptr, [&](Window* window, const Message& message) -> intptr_t {
        if (message.kind == MessageKind::Command && message.id == res::IDC_CONFIGURE)
          confResult = system_.RunModalDialog("CONFBOX", window, confProc);
        if (message.kind == MessageKind::User) depthInside = system_.LoopDepth();
        return 0;
      });
  const Message ping;
  system_.UserClick(main->Control(res::IDC_CONFIGURE));
  ASSERT_TRUE(system_.WaitForDialog("CONFBOX"));
  HeadlessWindow* conf = system_.FindDialog("CONFBOX");
  main->PostMessage(ping);
  system_.Flush();
  EXPECT_EQ(depthInside.load(), 2);
  system_.UserClick(conf->Control(res::IDC_OK));
  ASSERT_TRUE(system_.WaitForDialog("ABOUTBOX"));
  main->PostMessage(ping);
  system_.Flush();
  EXPECT_EQ(depthInside.load(), 3);
  system_.UserClose(system_.FindDialog("ABOUTBOX"));  // destroyed, not ended
  system_.Flush();
  EXPECT_EQ(aboutResult.load(), 0);
  EXPECT_EQ(confResult.load(), -5);
  system_.UserClick(conf->Control(res::IDC_CANCEL));
  system_.Flush();
  EXPECT_EQ(confResult.load(), 2);
  EXPECT_TRUE(conf->IsDestroyed());
  EXPECT_EQ(system_.FindDialog("CONFBOX"), nullptr);
  EXPECT_EQ(system_.LoopDepth(), 1);
}

TEST_F(HeadlessLoopTest, HeldBoxesAreObservedOnTheUiThreadScriptedOnesThenTakeTheDefault) {
  std::vector<MessageBoxRecord> observed;
  std::atomic<bool> observedOnUi{false};
  system_.SetMessageBoxObserver([&](const MessageBoxRecord& record) {
    observed.push_back(record);
    observedOnUi = std::this_thread::get_id() == uiThread_;
  });
  system_.SetHoldMessageBoxes(true);
  std::atomic<int> answer{0};
  std::thread worker(
      [&] { answer = system_.MessageBox(nullptr, u"Wrong BOS Descriptor", u"Error", MB_YESNO); });
  ASSERT_TRUE(system_.WaitForMessageBoxes(1));
  ASSERT_TRUE(system_.AnswerMessageBox(IDNO));
  worker.join();
  EXPECT_EQ(answer.load(), IDNO);
  EXPECT_FALSE(system_.AnswerMessageBox(IDOK));  // nothing open any more
  system_.Flush();
  ASSERT_EQ(observed.size(), 1u);
  EXPECT_TRUE(observedOnUi.load());
  EXPECT_EQ(observed[0].text, u"Wrong BOS Descriptor");
  EXPECT_EQ(observed[0].caption, u"Error");
  EXPECT_EQ(system_.MessageBoxes()[0].answer, IDNO);

  system_.SetHoldMessageBoxes(false);
  system_.ScriptMessageBoxAnswers({IDCANCEL, IDNO});
  EXPECT_EQ(system_.MessageBox(nullptr, u"a", u"t", MB_OKCANCEL), IDCANCEL);
  EXPECT_EQ(system_.MessageBox(nullptr, u"b", u"t", MB_YESNO), IDNO);
  EXPECT_EQ(system_.MessageBox(nullptr, u"c", u"t", MB_YESNO), IDYES);
  EXPECT_EQ(system_.MessageBox(nullptr, u"d", u"t", MB_OKCANCEL | 0x100), IDCANCEL);
  EXPECT_EQ(system_.MessageBoxes().size(), 5u);
}

TEST(HeadlessFlushTest, WithNoLoopTheCallerRunsThePostedWorkAndWhatItPosts) {
  HeadlessWindowSystem system;
  std::vector<int> order;
  std::atomic<bool> ranAsUi{false};
  system.Post([&] {
    order.push_back(1);
    ranAsUi = system.IsUiThread();
    system.Post([&] { order.push_back(3); });
  });
  system.Post([&] { order.push_back(2); });
  EXPECT_TRUE(order.empty());
  system.Flush();
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
  EXPECT_TRUE(ranAsUi.load());
  EXPECT_FALSE(system.IsUiThread());  // standing in ends with the flush
}

TEST_F(HeadlessLoopTest, QuitReleasesAThreadWaitingForTheUiThread) {
  Window* main = system_.CreateDialog("TARNWICK", nullptr, nullptr);
  std::promise<void> blockerRunning;
  std::atomic<bool> release{false};
  // The worker's change arrives while the UI thread is busy and about to quit.
  system_.Post([&] {
    blockerRunning.set_value();
    while (!release) std::this_thread::yield();
    system_.Quit(7);
  });
  blockerRunning.get_future().wait();
  std::thread worker([&] { main->Control(res::IDC_START)->Enable(false); });
  release = true;
  worker.join();
  EXPECT_FALSE(main->Control(res::IDC_START)->IsEnabled());
}

TEST_F(HeadlessLoopTest, TypingBeepsAtRefusedKeysLeavingReportsAndTheTrackbarClamps) {
  Window* conf = system_.CreateDialog("CONFBOX", nullptr, Recorder());
  Window* constant = conf->Control(res::IDC_CONSTANT_EDIT);
  constant->SetTextLimit(3);
  system_.UserType(constant, u"12345");
  system_.UserType(constant, u"12a");  // refused whole
  system_.UserLeave(constant);
  system_.Flush();
  EXPECT_EQ(constant->GetText(), u"123");
  EXPECT_EQ(system_.BeepCount(), 1);
  EXPECT_EQ(SeenOf(MessageKind::Command).back().code, EN_KILLFOCUS);

  auto* track = static_cast<HeadlessWindow*>(conf->Control(res::IDC_LOAD_TRACKBAR));
  track->SetTrackRange(1, 100);
  track->SetTrackPos(50);
  system_.UserScroll(track, SB_LINEDOWN, 0);
  system_.UserScroll(track, SB_PAGEUP, 0);
  system_.Flush();
  EXPECT_EQ(track->TrackPos(), 51 - 19);
  system_.UserScroll(track, SB_THUMBTRACK, 250);
  system_.Flush();
  EXPECT_EQ(track->TrackPos(), 100);
  const auto scrolls = SeenOf(MessageKind::HScroll);
  ASSERT_EQ(scrolls.size(), 3u);
  EXPECT_EQ(scrolls[2].code, SB_THUMBTRACK);
  EXPECT_EQ(scrolls[2].id, res::IDC_LOAD_TRACKBAR);
}

TEST(RecordingCanvasTest, PaintsFromSeveralThreadsArriveWholeAndRecordWhatWasAsked) {
  HeadlessWindowSystem system;
  Window* main = system.CreateDialog("TARNWICK", nullptr, nullptr);
  auto* panel = static_cast<HeadlessWindow*>(main->Control(res::IDC_LOG_PANEL));
  std::vector<std::thread> painters;
  for (int t = 0; t < 4; ++t) {
    painters.emplace_back([panel, t] {
      for (int i = 0; i < 100; ++i) {
        auto canvas = panel->GetCanvas();
        canvas->FillRect({t, i, t + 1, i + 1}, Brush{{1, 2, 3}});
        std::this_thread::yield();  // invites another painter in, were the image unlocked
        canvas->Text({t, i}, u"x", Font{u"Tahoma", 14, 700, false}, {}, nullptr);
      }
    });
  }
  for (auto& painter : painters) painter.join();
  EXPECT_EQ(panel->Drawing()->PaintCount(), 400u);
  const auto all = panel->Drawing()->Calls();
  ASSERT_EQ(all.size(), 800u);
  for (size_t i = 0; i < all.size(); i += 2) {
    ASSERT_EQ(all[i].kind, DrawKind::Fill);
    ASSERT_EQ(all[i + 1].kind, DrawKind::Text);
    EXPECT_EQ(all[i].rect.left, all[i + 1].from.x) << i;
    EXPECT_EQ(all[i].rect.top, all[i + 1].from.y) << i;
  }

  panel->Drawing()->Clear();
  panel->Drawing()->SetGradientAvailable(false);
  auto canvas = panel->GetCanvas();
  EXPECT_FALSE(canvas->GradientBand({0, 0, 10, 10}, {}, {}));
  const Rect clip{1, 2, 3, 4};
  canvas->Text({5, 6}, u"line", Font{u"Tahoma", 16, 700, true}, {9, 8, 7}, &clip);
  const uint8_t bits[] = {0x80, 0xFF, 0x01, 0xFF};
  canvas->CopyPicture({0, 0}, MonoPicture{8, 2, 2, bits});  // stride wider than the row
  canvas.reset();
  const auto calls = panel->Drawing()->Calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].clip, clip);
  EXPECT_TRUE(calls[0].clipped && calls[0].italic);
  EXPECT_EQ(calls[0].colour, (Colour{9, 8, 7}));
  EXPECT_EQ(calls[1].pictureBits, (std::vector<uint8_t>{0x80, 0x01}));
  main->Destroy();
  EXPECT_EQ(panel->GetCanvas(), nullptr);
}

}  // namespace
}  // namespace ui::headless
