#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/message_box.h"
#include "res/control_ids.h"
#include "res/dialog_templates.h"
#include "ui/headless/headless_window_system.h"

namespace ui::headless {
namespace {

// A user-interface thread running the headless loop for the length of a test.
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

  // Messages a dialog procedure saw, with the thread each arrived on.
  struct Seen {
    MessageKind kind;
    int32_t id;
    int32_t code;
    bool onUiThread;
  };
  MessageProc Recorder() {
    return [this](Window*, const Message& message) -> intptr_t {
      std::lock_guard lock(seenLock_);
      seen_.push_back(
          {message.kind, message.id, message.code, std::this_thread::get_id() == uiThread_});
      return 0;
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

TEST_F(HeadlessLoopTest, DialogsAreBuiltFromTheirTemplatesWithTheInitialStates) {
  for (const char* name : {"TARNWICK", "CONFBOX", "ABOUTBOX"}) {
    const res::DialogTemplate* dialogTemplate = res::FindDialogTemplate(name);
    Window* dialog = system_.CreateDialog(name, nullptr, Recorder());
    ASSERT_NE(dialog, nullptr) << name;
    EXPECT_EQ(dialog->GetText(), dialogTemplate->title);
    for (const res::ControlTemplate& control : dialogTemplate->controls) {
      if (control.id == res::IDC_STATIC) continue;
      const Window* built = dialog->Control(control.id);
      ASSERT_NE(built, nullptr) << control.id;
      EXPECT_EQ(built->Class(), control.controlClass) << control.id;
      EXPECT_EQ(built->GetText(), control.text) << control.id;
      EXPECT_EQ(built->IsEnabled(), (control.style & res::Disabled) == 0) << control.id;
      EXPECT_EQ(built->IsVisible(), (control.style & res::Hidden) == 0) << control.id;
    }
    EXPECT_EQ(dialog->Control(4242), nullptr);
  }
  EXPECT_EQ(system_.CreateDialog("NOSUCH", nullptr, Recorder()), nullptr);

  // Each dialog: creation then initialisation, on the user-interface thread.
  std::lock_guard lock(seenLock_);
  ASSERT_EQ(seen_.size(), 6u);
  for (size_t i = 0; i < seen_.size(); ++i) {
    EXPECT_EQ(seen_[i].kind, i % 2 == 0 ? MessageKind::Create : MessageKind::InitDialog);
    EXPECT_TRUE(seen_[i].onUiThread);
  }
}

TEST_F(HeadlessLoopTest, DialogUnitsScaleWithTheDialogFont) {
  Window* main = system_.CreateDialog("TARNWICK", nullptr, Recorder());
  Window* about = system_.CreateDialog("ABOUTBOX", nullptr, Recorder());
  const Rect small = main->DialogUnitsToPixels({0, 0, 40, 80});
  const Rect large = about->DialogUnitsToPixels({0, 0, 40, 80});
  EXPECT_GT(small.Width(), 0);
  EXPECT_GT(large.Width(), small.Width());  // 10 points against 8
  EXPECT_GT(large.Height(), small.Height());
  // Control bounds are the template rectangle mapped to pixels.
  const res::ControlTemplate* panel = res::FindDialogTemplate("TARNWICK")->Find(res::IDC_LOG_PANEL);
  EXPECT_EQ(main->Control(res::IDC_LOG_PANEL)->BoundsInParent(),
            main->DialogUnitsToPixels(
                {panel->x, panel->y, panel->x + panel->width, panel->y + panel->height}));
}

TEST_F(HeadlessLoopTest, ChangesFromAnotherThreadRunOnTheUiThread) {
  Window* main = system_.CreateDialog("TARNWICK", nullptr, Recorder());
  Window* duration = main->Control(res::IDC_DURATION_EDIT);
  std::thread worker([&] {
    duration->SetText(u"15");
    main->Control(res::IDC_START)->Enable(false);
  });
  worker.join();
  EXPECT_EQ(duration->GetText(), u"15");
  EXPECT_FALSE(main->Control(res::IDC_START)->IsEnabled());
  // The edit box reported its change, on the user-interface thread.
  auto commands = SeenOf(MessageKind::Command);
  ASSERT_EQ(commands.size(), 1u);
  EXPECT_EQ(commands[0].id, res::IDC_DURATION_EDIT);
  EXPECT_EQ(commands[0].code, EN_CHANGE);
  EXPECT_TRUE(commands[0].onUiThread);
  EXPECT_EQ(duration->GetText(1), u"1");
}

TEST_F(HeadlessLoopTest, PostedWorkAndMessagesRunInOrderOnTheUiThread) {
  Window* main = system_.CreateDialog("TARNWICK", nullptr, Recorder());
  std::vector<int> order;
  std::thread worker([&] {
    for (int i = 0; i < 5; ++i) {
      Message message;
      message.kind = MessageKind::User;
      message.id = i;
      main->PostMessage(message);
      system_.Post([&order, i] { order.push_back(i); });
    }
  });
  worker.join();
  system_.Flush();
  auto user = SeenOf(MessageKind::User);
  ASSERT_EQ(user.size(), 5u);
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(user[static_cast<size_t>(i)].id, i);
    EXPECT_TRUE(user[static_cast<size_t>(i)].onUiThread);
  }
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4}));
}

TEST_F(HeadlessLoopTest, TimersTickByPeriodUntilKilled) {
  system_.SetManualTimers(true);
  Window* main = system_.CreateDialog("TARNWICK", nullptr,
                                      [this](Window* window, const Message& message) -> intptr_t {
                                        // Timer 3 is a one-shot: the handler kills it on its first
                                        // tick.
                                        if (message.kind == MessageKind::Timer && message.id == 3)
                                          window->KillTimer(3);
                                        return Recorder()(window, message);
                                      });
  ASSERT_TRUE(main->SetTimer(1, 1000));
  ASSERT_TRUE(main->SetTimer(3, 5000));
  EXPECT_FALSE(main->Control(res::IDC_START)->SetTimer(1, 10));  // controls have none
  system_.AdvanceTime(999);
  system_.Flush();
  EXPECT_TRUE(SeenOf(MessageKind::Timer).empty());
  system_.AdvanceTime(11001);  // t = 12000
  system_.Flush();
  auto ticks = SeenOf(MessageKind::Timer);
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

TEST_F(HeadlessLoopTest, ModalDialogsNestAndKeepTheQueueServed) {
  std::atomic<intptr_t> aboutResult{-5};
  std::atomic<intptr_t> confResult{-5};
  std::atomic<int32_t> depthInside{0};
  MessageProc aboutProc = [&](Window* window, const Message& message) -> intptr_t {
    if (message.kind == MessageKind::Command && message.id == res::IDC_OK) window->EndDialog(0);
    return 0;
  };
  MessageProc confProc = [&](Window* window, const Message& message) -> intptr_t {
    if (message.kind == MessageKind::Command && message.id == res::IDC_OK) {
      // A modal About box over the modal configuration dialog.
      aboutResult = system_.RunModalDialog("ABOUTBOX", window, aboutProc);
    }
    if (message.kind == MessageKind::Command && message.id == res::IDC_CANCEL) {
      window->EndDialog(2);
    }
    return 0;
  };
  Window* main = system_.CreateDialog(
      "TARNWICK", nullptr, [&](Window* window, const Message& message) -> intptr_t {
        if (message.kind == MessageKind::Command && message.id == res::IDC_CONFIGURE) {
          confResult = system_.RunModalDialog("CONFBOX", window, confProc);
        }
        if (message.kind == MessageKind::User) depthInside = system_.LoopDepth();
        return 0;
      });

  system_.UserClick(main->Control(res::IDC_CONFIGURE));
  ASSERT_TRUE(system_.WaitForDialog("CONFBOX"));
  HeadlessWindow* conf = system_.FindDialog("CONFBOX");
  // The main window's messages still arrive while the modal loop runs.
  Message ping;
  main->PostMessage(ping);
  system_.Flush();
  EXPECT_EQ(depthInside.load(), 2);

  system_.UserClick(conf->Control(res::IDC_OK));
  ASSERT_TRUE(system_.WaitForDialog("ABOUTBOX"));
  main->PostMessage(ping);
  system_.Flush();
  EXPECT_EQ(depthInside.load(), 3);
  system_.UserClick(system_.FindDialog("ABOUTBOX")->Control(res::IDC_OK));
  system_.Flush();
  EXPECT_EQ(aboutResult.load(), 0);
  EXPECT_EQ(confResult.load(), -5);  // still open
  system_.UserClick(conf->Control(res::IDC_CANCEL));
  system_.Flush();
  EXPECT_EQ(confResult.load(), 2);
  EXPECT_TRUE(conf->IsDestroyed());
  EXPECT_EQ(system_.FindDialog("CONFBOX"), nullptr);
  EXPECT_EQ(system_.LoopDepth(), 1);
}

TEST_F(HeadlessLoopTest, MessageBoxFromAWorkerBlocksItUntilAnswered) {
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
  // The box is open: the worker has no answer, the UI thread still serves work.
  system_.Flush();
  EXPECT_EQ(answer.load(), 0);
  EXPECT_EQ(system_.OpenMessageBoxCount(), 1u);
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
}

TEST_F(HeadlessLoopTest, MessageBoxesTakeScriptedAnswersThenTheDefaultButton) {
  system_.ScriptMessageBoxAnswers({IDCANCEL, IDNO});
  EXPECT_EQ(system_.MessageBox(nullptr, u"a", u"t", MB_OKCANCEL), IDCANCEL);
  EXPECT_EQ(system_.MessageBox(nullptr, u"b", u"t", MB_YESNO), IDNO);
  EXPECT_EQ(system_.MessageBox(nullptr, u"c", u"t", MB_YESNO), IDYES);
  EXPECT_EQ(system_.MessageBox(nullptr, u"d", u"t", MB_OKCANCEL | 0x100), IDCANCEL);
  EXPECT_EQ(system_.MessageBox(nullptr, u"e", u"t", MB_OK | MB_ICONEXCLAMATION), IDOK);
  const auto boxes = system_.MessageBoxes();
  ASSERT_EQ(boxes.size(), 5u);
  EXPECT_EQ(boxes[4].flags, MB_OK | MB_ICONEXCLAMATION);
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
  EXPECT_TRUE(order.empty());  // posted work waits for someone to serve it
  system.Flush();
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
  EXPECT_TRUE(ranAsUi.load());
  EXPECT_FALSE(system.IsUiThread());  // standing in ends with the flush
}

TEST_F(HeadlessLoopTest, QuitReleasesAThreadWaitingForTheUiThread) {
  Window* main = system_.CreateDialog("TARNWICK", nullptr, nullptr);
  std::promise<void> blockerRunning;
  std::atomic<bool> release{false};
  // The UI thread is busy when a worker's change arrives, and quits after that: the
  // change is still made (by the ending loop or, once it is gone, by the worker) and
  // the worker does not hang.
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

TEST_F(HeadlessLoopTest, UserActionsBehaveLikeTheControls) {
  Window* main = system_.CreateDialog("TARNWICK", nullptr, Recorder());
  Window* loopback = main->Control(res::IDC_LOOPBACK);
  Window* benchmark = main->Control(res::IDC_BENCHMARK);
  system_.UserClick(loopback);
  system_.UserClick(benchmark);
  system_.Flush();
  EXPECT_EQ(loopback->GetCheck(), BST_UNCHECKED);
  EXPECT_EQ(benchmark->GetCheck(), BST_CHECKED);

  // A disabled button does not report.
  main->Control(res::IDC_STOP)->Enable(false);
  system_.UserClick(main->Control(res::IDC_STOP));
  system_.Flush();
  for (const Seen& command : SeenOf(MessageKind::Command)) EXPECT_NE(command.id, res::IDC_STOP);

  Window* devices = main->Control(res::IDC_DEVICE_LIST);
  EXPECT_EQ(devices->ComboAdd(u"Plug-0 SN1"), 0);
  EXPECT_EQ(devices->ComboAdd(u"Plug-1 SN2"), 1);
  EXPECT_EQ(devices->ComboAdd(u"Plug-2 SN3"), 2);
  system_.UserSelect(devices, 2);
  system_.Flush();
  EXPECT_EQ(devices->ComboSelection(), 2);
  EXPECT_EQ(devices->ComboFind(u"Plug-1 SN2"), 1);
  EXPECT_EQ(devices->ComboFind(u"Plug-1"), CB_ERR);
  EXPECT_EQ(devices->ComboDelete(0), 2);
  EXPECT_EQ(devices->ComboSelection(), 1);  // follows its item
  EXPECT_EQ(devices->ComboItemText(1), u"Plug-2 SN3");
  EXPECT_EQ(devices->ComboDelete(5), CB_ERR);
  EXPECT_EQ(devices->ComboItemText(7), u"");
  auto commands = SeenOf(MessageKind::Command);
  ASSERT_FALSE(commands.empty());
  EXPECT_EQ(commands.back().id, res::IDC_DEVICE_LIST);
  EXPECT_EQ(commands.back().code, CBN_SELENDOK);
}

TEST_F(HeadlessLoopTest, TypingHonoursNumberOnlyAndTheTextLimit) {
  Window* conf = system_.CreateDialog("CONFBOX", nullptr, Recorder());
  Window* constant = conf->Control(res::IDC_CONSTANT_EDIT);
  constant->SetTextLimit(3);
  system_.UserType(constant, u"12345");
  system_.Flush();
  EXPECT_EQ(constant->GetText(), u"123");
  system_.UserType(constant, u"12a");
  system_.Flush();
  EXPECT_EQ(constant->GetText(), u"123");
  EXPECT_EQ(system_.BeepCount(), 1);
  system_.UserLeave(constant);
  system_.Flush();
  auto commands = SeenOf(MessageKind::Command);
  ASSERT_FALSE(commands.empty());
  EXPECT_EQ(commands.back().code, EN_KILLFOCUS);
}

TEST_F(HeadlessLoopTest, TrackbarMovesItsThumbBeforeItReports) {
  Window* conf = system_.CreateDialog("CONFBOX", nullptr, Recorder());
  auto* track = static_cast<HeadlessWindow*>(conf->Control(res::IDC_LOAD_TRACKBAR));
  track->SetTrackRange(1, 100);
  track->SetTrackTickFrequency(10);
  track->SetTrackPos(50);
  system_.UserScroll(track, SB_LINEDOWN, 0);
  system_.UserScroll(track, SB_PAGEUP, 0);
  system_.Flush();
  EXPECT_EQ(track->TrackPos(), 51 - 19);
  system_.UserScroll(track, SB_THUMBTRACK, 250);
  system_.Flush();
  EXPECT_EQ(track->TrackPos(), 100);  // clamped to the range
  EXPECT_EQ(track->Track().frequency, 10);
  auto scrolls = SeenOf(MessageKind::HScroll);
  ASSERT_EQ(scrolls.size(), 3u);
  EXPECT_EQ(scrolls[2].code, SB_THUMBTRACK);
  EXPECT_EQ(scrolls[2].id, res::IDC_LOAD_TRACKBAR);
}

TEST(RecordingCanvasTest, PaintsFromSeveralThreadsArriveWholeAndInOnePiece) {
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
  EXPECT_EQ(panel->Drawing()->CallCount(), 800u);
  EXPECT_EQ(panel->Drawing()->PaintCount(), 400u);
  const auto all = panel->Drawing()->Calls();
  ASSERT_EQ(all.size(), 800u);
  // Each canvas holds the image: its fill and its text follow each other.
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
  const auto calls = panel->Drawing()->Calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].kind, DrawKind::Text);
  EXPECT_TRUE(calls[0].clipped);
  EXPECT_EQ(calls[0].clip, clip);
  EXPECT_TRUE(calls[0].italic);
  EXPECT_EQ(calls[0].colour, (Colour{9, 8, 7}));
  EXPECT_EQ(calls[1].pictureBits, (std::vector<uint8_t>{0x80, 0x01}));

  main->Destroy();
  EXPECT_EQ(panel->GetCanvas(), nullptr);
}

}  // namespace
}  // namespace ui::headless

namespace ui::headless {
namespace {

TEST(HeadlessModalTest, AModalDialogEndsByEndDialogOrByItsDestruction) {
  HeadlessWindowSystem system;
  std::thread loop([&] { system.RunMessageLoop(); });
  std::atomic<intptr_t> result{-5};
  system.Post([&] {
    result = system.RunModalDialog("ABOUTBOX", nullptr,
                                   [](Window* window, const Message& message) -> intptr_t {
                                     if (message.kind == MessageKind::Close) window->Destroy();
                                     return 0;
                                   });
  });
  ASSERT_TRUE(system.WaitForDialog("ABOUTBOX"));
  system.UserClose(system.FindDialog("ABOUTBOX"));
  system.Flush();
  EXPECT_EQ(result.load(), 0);
  EXPECT_EQ(system.RunModalDialog("NOSUCH", nullptr, nullptr), -1);
  system.Quit(0);
  loop.join();
}

}  // namespace
}  // namespace ui::headless
