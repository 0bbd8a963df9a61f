// What the window layer's contract suite needs from a window system under test: the
// system, a way to wait while its user-interface thread serves, and the user's hand.
#pragma once
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>
#include <thread>

#include "window/window.h"

namespace ui::contract {

class Harness {
 public:
  virtual ~Harness() = default;
  virtual WindowSystem& System() = 0;
  // Waits until done() holds, letting the user-interface thread serve meanwhile (it may
  // be the calling thread). False at the deadline.
  virtual bool WaitUntil(const std::function<bool()>& done) = 0;
  // The user's hand, each reported as the real control would and handled before the
  // call returns.
  virtual void Click(Window* control) = 0;
  virtual void Select(Window* combo, int32_t index) = 0;
  // Types into an emptied edit box, character by character as far as the box takes them.
  virtual void Type(Window* edit, std::u16string_view text) = 0;
  // Message boxes open now, and the answer to the oldest one.
  virtual size_t OpenBoxes() = 0;
  virtual bool AnswerBox(int answer) = 0;

  // Everything posted so far has run.
  void Flush() {
    std::atomic<bool> done{false};
    System().Post([&] { done = true; });
    ASSERT_TRUE(WaitUntil([&] { return done.load(); }));
  }
  // Joins a thread whose end may need the user-interface thread.
  void Join(std::thread& thread, const std::atomic<bool>& finished) {
    ASSERT_TRUE(WaitUntil([&] { return finished.load(); }));
    thread.join();
  }
};

using HarnessFactory = std::function<std::unique_ptr<Harness>()>;

}  // namespace ui::contract
