// The window layer's contract, as one parameterised suite that any window system runs:
// dialogs from their templates, controls that behave like the classic ones, calls from
// other threads carried out on the user-interface thread, message boxes that block their
// caller, modal loops that keep the queue served. Each implementation supplies a Harness
// and instantiates the suite once, in one file of its test program.
#pragma once
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/message_box.h"
#include "res/control_ids.h"
#include "res/dialog_templates.h"
#include "ui/window_harness.h"
#include "window/window.h"

namespace ui::contract {

class WindowContractTest : public ::testing::TestWithParam<HarnessFactory> {
 protected:
  void SetUp() override { harness_ = GetParam()(); }
  void TearDown() override {
    // A system may still deliver (a late paint) while it is being taken down.
    tearingDown_ = true;
    harness_.reset();
  }

  WindowSystem& System() { return harness_->System(); }

  struct Seen {
    MessageKind kind;
    int32_t id;
    int32_t code;
    bool onUiThread;
  };
  MessageProc Recorder() {
    return [this](Window*, const Message& message) -> intptr_t {
      if (tearingDown_) return 0;
      const bool onUi = System().IsUiThread();
      std::lock_guard lock(seenLock_);
      seen_.push_back({message.kind, message.id, message.code, onUi});
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

  std::unique_ptr<Harness> harness_;
  std::atomic<bool> tearingDown_{false};
  std::mutex seenLock_;
  std::vector<Seen> seen_;
};

TEST_P(WindowContractTest, DialogsAreBuiltFromTheirTemplatesAtTheirGeometry) {
  for (const char* name : {"TARNWICK", "CONFBOX", "ABOUTBOX"}) {
    const res::DialogTemplate* dialogTemplate = res::FindDialogTemplate(name);
    Window* dialog = System().CreateDialog(name, nullptr, Recorder());
    ASSERT_NE(dialog, nullptr) << name;
    EXPECT_EQ(dialog->GetText(), dialogTemplate->title);
    const Rect client = dialog->ClientRect();
    EXPECT_EQ(client,
              dialog->DialogUnitsToPixels({0, 0, dialogTemplate->width, dialogTemplate->height}))
        << name;
    for (const res::ControlTemplate& control : dialogTemplate->controls) {
      if (control.id == res::IDC_STATIC) continue;
      const Window* built = dialog->Control(control.id);
      ASSERT_NE(built, nullptr) << control.id;
      EXPECT_EQ(built->Class(), control.controlClass) << control.id;
      EXPECT_EQ(built->Parent(), dialog);
      EXPECT_EQ(built->GetText(), control.text) << control.id;
      EXPECT_EQ(built->IsEnabled(), (control.style & res::Disabled) == 0) << control.id;
      EXPECT_EQ(built->IsVisible(), (control.style & res::Hidden) == 0) << control.id;
      // A closed drop-down list is one text line (12 units) high.
      const int32_t height = control.controlClass == ControlClass::ComboBox ? 12 : control.height;
      const Rect expected = dialog->DialogUnitsToPixels(
          {control.x, control.y, control.x + control.width, control.y + height});
      EXPECT_EQ(built->BoundsInParent(), expected) << name << " " << control.id;
      EXPECT_EQ(built->ClientRect(), (Rect{0, 0, expected.Width(), expected.Height()}));
    }
    EXPECT_EQ(dialog->Control(4242), nullptr);
  }
  EXPECT_EQ(System().CreateDialog("NOSUCH", nullptr, Recorder()), nullptr);

  // Each dialog: creation, then initialisation, on the user-interface thread, before
  // anything else reaches it.
  std::lock_guard lock(seenLock_);
  ASSERT_FALSE(seen_.empty());
  EXPECT_EQ(seen_.front().kind, MessageKind::Create);
  size_t setUp = 0;
  for (const Seen& s : seen_) {
    if (s.kind != MessageKind::Create && s.kind != MessageKind::InitDialog) continue;
    EXPECT_EQ(s.kind, setUp++ % 2 == 0 ? MessageKind::Create : MessageKind::InitDialog);
    EXPECT_TRUE(s.onUiThread);
  }
  EXPECT_EQ(setUp, 6u);
}

TEST_P(WindowContractTest, DialogUnitsGrowWithTheDialogFont) {
  Window* main = System().CreateDialog("TARNWICK", nullptr, nullptr);
  Window* about = System().CreateDialog("ABOUTBOX", nullptr, nullptr);
  const Rect small = main->DialogUnitsToPixels({0, 0, 400, 800});
  const Rect large = about->DialogUnitsToPixels({0, 0, 400, 800});
  EXPECT_GT(small.Width(), 0);
  EXPECT_GT(large.Width(), small.Width());  // 10 points against 8
  EXPECT_GT(large.Height(), small.Height());
  // Controls share their dialog's units.
  EXPECT_EQ(main->Control(res::IDC_START)->DialogUnitsToPixels({1, 2, 3, 4}),
            main->DialogUnitsToPixels({1, 2, 3, 4}));
}

TEST_P(WindowContractTest, ChangesFromAnotherThreadRunOnTheUiThread) {
  Window* main = System().CreateDialog("TARNWICK", nullptr, Recorder());
  Window* duration = main->Control(res::IDC_DURATION_EDIT);
  std::atomic<bool> finished{false};
  std::thread worker([&] {
    duration->SetText(u"15");
    main->Control(res::IDC_START)->Enable(false);
    main->Control(res::IDC_SERIAL_EDIT)->Show(true);
    finished = true;
  });
  harness_->Join(worker, finished);
  EXPECT_EQ(duration->GetText(), u"15");
  EXPECT_EQ(duration->GetText(1), u"1");
  EXPECT_FALSE(main->Control(res::IDC_START)->IsEnabled());
  EXPECT_TRUE(main->Control(res::IDC_SERIAL_EDIT)->IsVisible());
  // The edit box reported its change, on the user-interface thread.
  auto commands = SeenOf(MessageKind::Command);
  ASSERT_EQ(commands.size(), 1u);
  EXPECT_EQ(commands[0].id, res::IDC_DURATION_EDIT);
  EXPECT_EQ(commands[0].code, EN_CHANGE);
  EXPECT_TRUE(commands[0].onUiThread);
}

TEST_P(WindowContractTest, PostedWorkAndMessagesRunInOrderOnTheUiThread) {
  Window* main = System().CreateDialog("TARNWICK", nullptr, Recorder());
  std::mutex orderLock;
  std::vector<int> order;
  std::atomic<bool> finished{false};
  std::thread worker([&] {
    for (int i = 0; i < 5; ++i) {
      Message message;
      message.kind = MessageKind::User;
      message.id = i;
      main->PostMessage(message);
      System().Post([&, i] {
        std::lock_guard lock(orderLock);
        order.push_back(i);
      });
    }
    finished = true;
  });
  harness_->Join(worker, finished);
  harness_->Flush();
  auto user = SeenOf(MessageKind::User);
  ASSERT_EQ(user.size(), 5u);
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(user[static_cast<size_t>(i)].id, i);
    EXPECT_TRUE(user[static_cast<size_t>(i)].onUiThread);
  }
  std::lock_guard lock(orderLock);
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4}));
}

TEST_P(WindowContractTest, DropDownListsKeepTheirSelectionAsAListBoxDoes) {
  Window* main = System().CreateDialog("TARNWICK", nullptr, Recorder());
  Window* devices = main->Control(res::IDC_DEVICE_LIST);
  EXPECT_EQ(devices->ComboAdd(u"Plug-0 SN1"), 0);
  EXPECT_EQ(devices->ComboSelection(), CB_ERR);  // adding selects nothing
  EXPECT_EQ(devices->GetText(), u"");
  devices->ComboAdd(u"Plug-1 SN2");
  EXPECT_EQ(devices->ComboAdd(u"Plug-2 SN3"), 2);
  harness_->Select(devices, 2);
  EXPECT_EQ(devices->ComboSelection(), 2);
  EXPECT_EQ(devices->GetText(), u"Plug-2 SN3");
  auto commands = SeenOf(MessageKind::Command);
  ASSERT_EQ(commands.size(), 1u);
  EXPECT_EQ(commands[0].id, res::IDC_DEVICE_LIST);
  EXPECT_EQ(commands[0].code, CBN_SELENDOK);

  EXPECT_EQ(devices->ComboFind(u"Plug-1 SN2"), 1);
  EXPECT_EQ(devices->ComboFind(u"Plug-1"), CB_ERR);  // whole texts only
  EXPECT_EQ(devices->ComboDelete(0), 2);
  EXPECT_EQ(devices->ComboSelection(), 1);  // the selection follows its item
  EXPECT_EQ(devices->ComboDelete(1), 1);
  EXPECT_EQ(devices->ComboSelection(), CB_ERR);  // deleting it leaves none
  EXPECT_EQ(devices->ComboDelete(5), CB_ERR);
  EXPECT_EQ(devices->ComboItemText(7), u"");
  EXPECT_EQ(devices->ComboSelect(0), 0);
  EXPECT_EQ(devices->ComboSelect(-1), CB_ERR);
  EXPECT_EQ(devices->ComboSelection(), CB_ERR);
  devices->ComboReset();
  EXPECT_EQ(devices->ComboCount(), 0);
  // Programs' own changes are not the user's: still the one notification.
  EXPECT_EQ(SeenOf(MessageKind::Command).size(), 1u);
}

TEST_P(WindowContractTest, RadioGroupsRunFromOneGroupStartToTheNext) {
  Window* conf = System().CreateDialog("CONFBOX", nullptr, Recorder());
  Window* read = conf->Control(res::IDC_READ);
  Window* write = conf->Control(res::IDC_WRITE);
  Window* constant = conf->Control(res::IDC_CONSTANT);
  // Benchmark mode: its group in the place the loopback group leaves.
  for (int32_t id : {res::IDC_LOOPBACK_GROUP, res::IDC_LOAD_LABEL, res::IDC_LOAD_TRACKBAR,
                     res::IDC_LOAD_EDIT, res::IDC_PERCENT_LABEL, res::IDC_CHECK_BUS_ERRORS}) {
    conf->Control(id)->Show(false);
  }
  for (int32_t id : {res::IDC_BENCHMARK_GROUP, res::IDC_READ, res::IDC_WRITE}) {
    conf->Control(id)->Show(true);
  }
  harness_->Click(read);
  harness_->Click(constant);  // another group: Read stays checked
  EXPECT_EQ(read->GetCheck(), BST_CHECKED);
  EXPECT_EQ(constant->GetCheck(), BST_CHECKED);
  harness_->Click(write);
  EXPECT_EQ(read->GetCheck(), BST_UNCHECKED);
  EXPECT_EQ(write->GetCheck(), BST_CHECKED);
  harness_->Click(write);  // a checked automatic radio button stays checked
  EXPECT_EQ(write->GetCheck(), BST_CHECKED);
  write->SetCheck(BST_UNCHECKED);  // the program may uncheck it
  EXPECT_EQ(write->GetCheck(), BST_UNCHECKED);

  Window* verbose = conf->Control(res::IDC_VERBOSE);
  harness_->Click(verbose);
  EXPECT_EQ(verbose->GetCheck(), BST_CHECKED);
  harness_->Click(verbose);
  EXPECT_EQ(verbose->GetCheck(), BST_UNCHECKED);

  // A disabled button does not report.
  constant->Enable(false);
  harness_->Click(constant);
  auto clicks = SeenOf(MessageKind::Command);
  ASSERT_EQ(clicks.size(), 6u);
  const int32_t expected[] = {res::IDC_READ,  res::IDC_CONSTANT, res::IDC_WRITE,
                              res::IDC_WRITE, res::IDC_VERBOSE,  res::IDC_VERBOSE};
  for (size_t i = 0; i < clicks.size(); ++i) {
    EXPECT_EQ(clicks[i].id, expected[i]);
    EXPECT_EQ(clicks[i].code, BN_CLICKED);
  }
}

TEST_P(WindowContractTest, NumberOnlyEditsTakeDigitsUpToTheirLimit) {
  Window* conf = System().CreateDialog("CONFBOX", nullptr, Recorder());
  Window* constant = conf->Control(res::IDC_CONSTANT_EDIT);
  constant->SetTextLimit(3);
  harness_->Type(constant, u"12345");
  EXPECT_EQ(constant->GetText(), u"123");
  harness_->Type(constant, u"7x");
  for (char16_t c : constant->GetText()) EXPECT_TRUE(c >= u'0' && c <= u'9');
  auto commands = SeenOf(MessageKind::Command);
  ASSERT_FALSE(commands.empty());
  EXPECT_EQ(commands.back().id, res::IDC_CONSTANT_EDIT);
  EXPECT_EQ(commands.back().code, EN_CHANGE);
}

TEST_P(WindowContractTest, MessageBoxFromAWorkerBlocksItUntilAnswered) {
  std::atomic<int> answer{0};
  std::atomic<bool> finished{false};
  std::thread worker([&] {
    answer = System().MessageBox(nullptr, u"Wrong BOS Descriptor", u"Error", MB_YESNO);
    finished = true;
  });
  ASSERT_TRUE(harness_->WaitUntil([&] { return harness_->OpenBoxes() == 1; }));
  // The box is open: the worker has no answer, the user-interface thread still serves.
  harness_->Flush();
  EXPECT_EQ(answer.load(), 0);
  ASSERT_TRUE(harness_->AnswerBox(IDNO));
  harness_->Join(worker, finished);
  EXPECT_EQ(answer.load(), IDNO);
  EXPECT_EQ(harness_->OpenBoxes(), 0u);
}

TEST_P(WindowContractTest, ModalDialogsNestEndWithTheirResultAndKeepTheQueueServed) {
  std::atomic<Window*> conf{nullptr};
  std::atomic<Window*> about{nullptr};
  std::atomic<intptr_t> confResult{-5};
  std::atomic<intptr_t> aboutResult{-5};
  MessageProc aboutProc = [&](Window* window, const Message& message) -> intptr_t {
    if (message.kind == MessageKind::InitDialog) about = window;
    if (message.kind == MessageKind::Command && message.id == res::IDC_OK) window->EndDialog(0);
    return 0;
  };
  MessageProc confProc = [&](Window* window, const Message& message) -> intptr_t {
    if (message.kind == MessageKind::InitDialog) conf = window;
    if (message.kind == MessageKind::Command && message.id == res::IDC_OK) {
      aboutResult = System().RunModalDialog("ABOUTBOX", window, aboutProc);
    }
    if (message.kind == MessageKind::Command && message.id == res::IDC_CANCEL) window->EndDialog(2);
    return 0;
  };
  System().Post([&] { confResult = System().RunModalDialog("CONFBOX", nullptr, confProc); });
  ASSERT_TRUE(harness_->WaitUntil([&] { return conf.load() != nullptr; }));
  harness_->Flush();  // posted work still runs under the modal dialog
  harness_->Click(conf.load()->Control(res::IDC_OK));
  ASSERT_TRUE(harness_->WaitUntil([&] { return about.load() != nullptr; }));
  harness_->Flush();
  harness_->Click(about.load()->Control(res::IDC_OK));
  ASSERT_TRUE(harness_->WaitUntil([&] { return aboutResult.load() == 0; }));
  EXPECT_EQ(confResult.load(), -5);  // still open
  harness_->Click(conf.load()->Control(res::IDC_CANCEL));
  ASSERT_TRUE(harness_->WaitUntil([&] { return confResult.load() == 2; }));
  EXPECT_EQ(System().RunModalDialog("NOSUCH", nullptr, nullptr), -1);
  // A destroyed dialog's controls answer with neutral values.
  EXPECT_EQ(conf.load()->GetCanvas(), nullptr);
}

}  // namespace ui::contract
