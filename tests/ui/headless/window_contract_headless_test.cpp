#include <chrono>
#include <thread>

#include "ui/headless/headless_window_system.h"
#include "ui/window_contract.h"

namespace ui::contract {
namespace {

// The headless system with its loop on a thread of its own; boxes stay open until the
// test answers them, as a user would.
class HeadlessHarness : public Harness {
 public:
  HeadlessHarness() {
    system_.SetHoldMessageBoxes(true);
    loop_ = std::thread([this] { system_.RunMessageLoop(); });
    Flush();
  }
  ~HeadlessHarness() override {
    system_.Quit(0);
    loop_.join();
  }
  WindowSystem& System() override { return system_; }
  bool WaitUntil(const std::function<bool()>& done) override {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
  }
  void Click(Window* control) override {
    system_.UserClick(control);
    system_.Flush();
  }
  void Select(Window* combo, int32_t index) override {
    system_.UserSelect(combo, index);
    system_.Flush();
  }
  void Type(Window* edit, std::u16string_view text) override {
    system_.UserType(edit, text);
    system_.Flush();
  }
  size_t OpenBoxes() override { return system_.OpenMessageBoxCount(); }
  bool AnswerBox(int answer) override { return system_.AnswerMessageBox(answer); }

 private:
  headless::HeadlessWindowSystem system_;
  std::thread loop_;
};

INSTANTIATE_TEST_SUITE_P(Headless, WindowContractTest, ::testing::Values(HarnessFactory([] {
                           return std::make_unique<HeadlessHarness>();
                         })),
                         [](const auto&) { return std::string("Headless"); });

}  // namespace
}  // namespace ui::contract
