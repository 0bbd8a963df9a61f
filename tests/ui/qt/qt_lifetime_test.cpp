// The end of the program's loop: callers waiting on the GUI thread are released, modal
// loops and boxes end innermost first, later callers are not kept waiting.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QWidget>

#include "platform/message_box.h"
#include "qt_test_support.h"
#include "res/control_ids.h"

namespace ui::qt::test {
namespace {

// A bus daemon of the test's own, started straight from fork and exec: the sanitizers
// follow those, where they lose track of Qt's own ways of starting a process.
class PrivateBus {
 public:
  PrivateBus(const std::string& program, const std::string& address) {
    const char* argv[] = {program.c_str(), "--session", "--nofork", address.c_str(), nullptr};
    pid_ = fork();
    if (pid_ == 0) {
      execv(program.c_str(), const_cast<char* const*>(argv));
      _exit(127);
    }
  }
  ~PrivateBus() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }

 private:
  pid_t pid_ = -1;
};

TEST(QtLifetimeTest, TheEndOfTheLoopServesWaitingCallersAndKeepsNoLaterOneWaiting) {
  QtHarness harness;
  QtWindowSystem& system = harness.Qt();
  Window* main = system.CreateDialog("TARNWICK", nullptr, nullptr);
  Window* start = main->Control(res::IDC_START);
  std::atomic<int> code{-1};
  system.Post([&] { code = system.RunMessageLoop(); });
  // Inside the program's loop the GUI thread is busy until a worker waits on it; then
  // the program quits.
  system.Post([&] {
    while (system.Queue().Queued() == 0) std::this_thread::yield();
    system.Quit(7);
  });
  std::atomic<bool> done{false};
  std::thread worker([&] {
    start->Enable(false);
    done = true;
  });
  harness.Join(worker, done);
  ASSERT_TRUE(WaitUntil([&] { return code == 7; }));
  EXPECT_FALSE(OnGuiResult([&] { return WidgetOf(start)->isEnabled(); }));

  // With the loop gone, calls from other threads return at once, undone, and a box
  // gives its default answer without being shown.
  std::atomic<int> answer{0};
  std::thread late([&] {
    start->Enable(true);
    answer = system.MessageBox(main, u"Late", u"Error", MB_YESNO | 0x100);
  });
  late.join();
  EXPECT_EQ(answer.load(), IDNO);
  EXPECT_FALSE(OnGuiResult([&] { return WidgetOf(start)->isEnabled(); }));
  EXPECT_EQ(harness.OpenBoxes(), 0u);
}

TEST(QtLifetimeTest, QuitEndsModalDialogsAndBoxesInnermostFirst) {
  QtHarness harness;
  QtWindowSystem& system = harness.Qt();
  Window* main = system.CreateDialog("TARNWICK", nullptr, nullptr);
  std::atomic<int> code{-1};
  std::atomic<Window*> about{nullptr};
  std::atomic<Window*> conf{nullptr};
  std::atomic<intptr_t> aboutResult{-5}, confResult{-5};
  std::atomic<bool> confDestroyed{false};
  system.Post([&] { code = system.RunMessageLoop(); });
  system.Post([&] {
    aboutResult = system.RunModalDialog("ABOUTBOX", main, [&](Window* w, const Message& m) {
      if (m.kind == MessageKind::InitDialog) about = w;
      return intptr_t{0};
    });
    confResult = system.RunModalDialog("CONFBOX", main, [&](Window* w, const Message& m) {
      if (m.kind == MessageKind::InitDialog) conf = w;
      if (m.kind == MessageKind::Destroy) confDestroyed = true;
      return intptr_t{0};
    });
  });
  // Another thread may end a modal dialog with its result.
  ASSERT_TRUE(WaitUntil([&] { return about.load() != nullptr; }));
  std::thread([&] { about.load()->EndDialog(5); }).join();
  ASSERT_TRUE(WaitUntil([&] { return aboutResult == 5; }));

  ASSERT_TRUE(WaitUntil([&] { return conf.load() != nullptr; }));
  std::atomic<int> answer{0};
  std::atomic<bool> answered{false};
  std::thread worker([&] {
    answer = system.MessageBox(conf.load(), u"Wrong BOS Descriptor", u"Error", MB_YESNO | 0x100);
    answered = true;
  });
  ASSERT_TRUE(WaitUntil([&] { return harness.OpenBoxes() == 1; }));
  EXPECT_EQ(OnGuiResult([&] { return system.LoopDepth(); }), 3);
  system.Quit(3);  // from this thread, as a signal handler would
  harness.Join(worker, answered);
  ASSERT_TRUE(WaitUntil([&] { return code == 3; }));
  EXPECT_EQ(answer.load(), IDNO);  // nobody answered: the default button
  EXPECT_EQ(confResult.load(), 0);
  EXPECT_TRUE(confDestroyed.load());
  EXPECT_EQ(harness.OpenBoxes(), 0u);
  EXPECT_EQ(OnGuiResult([&] { return system.LoopDepth(); }), 0);
}

TEST(QtLifetimeTest, TheSleepAnnouncementReachesEveryDialogAsThePowerNotice) {
  const QString daemonProgram = QStandardPaths::findExecutable(QStringLiteral("dbus-daemon"));
  if (daemonProgram.isEmpty()) GTEST_SKIP() << "no dbus-daemon to stand in for the system bus";
  // A private bus where this test plays logind.
  QTemporaryDir folder;
  const QString socket = folder.filePath(QStringLiteral("bus"));
  const QString address = QStringLiteral("unix:path=") + socket;
  PrivateBus bus(daemonProgram.toStdString(),
                 QStringLiteral("--address=%1").arg(address).toStdString());
  ASSERT_TRUE(WaitUntil([&] { return QFileInfo::exists(socket); }));

  QtHarness harness;
  QtWindowSystem& system = harness.Qt();
  std::mutex lock;
  std::vector<std::pair<int32_t, bool>> notices;  // code, on the GUI thread
  auto recorder = [&](Window*, const Message& m) -> intptr_t {
    if (m.kind == MessageKind::PowerBroadcast) {
      std::lock_guard guard(lock);
      notices.emplace_back(m.code, system.IsUiThread());
    }
    return 0;
  };
  system.CreateDialog("TARNWICK", nullptr, recorder);
  system.CreateDialog("ABOUTBOX", nullptr, recorder);
  OnGui([&] {
    system.ListenForSleep(QDBusConnection::connectToBus(address, QStringLiteral("listener")));
    QDBusConnection login = QDBusConnection::connectToBus(address, QStringLiteral("login1"));
    ASSERT_TRUE(login.registerService(QStringLiteral("org.freedesktop.login1")));
  });
  auto announce = [&](bool sleeping) {
    OnGui([&] {
      QDBusMessage signal = QDBusMessage::createSignal(
          QStringLiteral("/org/freedesktop/login1"),
          QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("PrepareForSleep"));
      signal << sleeping;
      QDBusConnection(QStringLiteral("login1")).send(signal);
    });
  };
  auto count = [&] {
    std::lock_guard guard(lock);
    return notices.size();
  };
  announce(true);
  ASSERT_TRUE(WaitUntil([&] { return count() == 2; }));
  announce(false);
  ASSERT_TRUE(WaitUntil([&] { return count() == 4; }));
  {
    std::lock_guard guard(lock);
    const std::vector<std::pair<int32_t, bool>> expected = {{PBT_APMSUSPEND, true},
                                                            {PBT_APMSUSPEND, true},
                                                            {PBT_APMRESUMESUSPEND, true},
                                                            {PBT_APMRESUMESUSPEND, true}};
    EXPECT_EQ(notices, expected);
  }
  OnGui([] { QDBusConnection::disconnectFromBus(QStringLiteral("login1")); });
  harness.Qt().ListenForSleep(QDBusConnection(QStringLiteral("none")));  // no bus: silent
  OnGui([] { QDBusConnection::disconnectFromBus(QStringLiteral("listener")); });
}

}  // namespace
}  // namespace ui::qt::test
