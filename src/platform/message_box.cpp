#include "platform/message_box.h"

#include <cstdio>
#include <memory>
#include <mutex>

#include "platform/text.h"

namespace {
std::mutex g_handlerLock;
std::shared_ptr<MessageBoxHandler> g_handler;

int DefaultAnswer(uint32_t flags) { return (flags & 0xF) == MB_YESNO ? IDYES : IDOK; }
}  // namespace

int ShowMessageBox(void* owner, std::u16string_view text, std::u16string_view caption,
                   uint32_t flags) {
  std::shared_ptr<MessageBoxHandler> handler;
  {
    std::lock_guard lock(g_handlerLock);
    handler = g_handler;
  }
  if (handler && *handler) return (*handler)(owner, text, caption, flags);
  std::fprintf(stderr, "[%s] %s\n", Utf16ToUtf8(caption).c_str(), Utf16ToUtf8(text).c_str());
  return DefaultAnswer(flags);
}

void SetMessageBoxHandler(MessageBoxHandler handler) {
  std::lock_guard lock(g_handlerLock);
  g_handler = handler ? std::make_shared<MessageBoxHandler>(std::move(handler)) : nullptr;
}
