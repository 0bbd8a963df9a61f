#include "engines/engine_thread.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

namespace {
std::mutex g_lock;
std::condition_variable g_ended;
int32_t g_alive = 0;
}  // namespace

bool StartEngineThread(std::function<void()> body) {
  {
    std::lock_guard lock(g_lock);
    ++g_alive;
  }
  try {
    std::thread([body = std::move(body)] {
      body();
      std::lock_guard lock(g_lock);
      --g_alive;
      g_ended.notify_all();
    }).detach();
  } catch (const std::system_error&) {
    std::lock_guard lock(g_lock);
    --g_alive;
    g_ended.notify_all();
    return false;
  }
  return true;
}

int32_t EngineThreadsAlive() {
  std::lock_guard lock(g_lock);
  return g_alive;
}

bool WaitForEngineThreads(uint32_t timeoutMs) {
  std::unique_lock lock(g_lock);
  return g_ended.wait_for(lock, std::chrono::milliseconds(timeoutMs), [] { return g_alive == 0; });
}
