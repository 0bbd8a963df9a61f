#include "usbhost/kernel_uevents.h"

#include <linux/netlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>

namespace {

// The multicast group the kernel itself sends to; udev's own group is another.
constexpr unsigned kKernelGroup = 1;
constexpr size_t kMessageBytes = 8192;

}  // namespace

bool IsUsbDeviceUevent(const char* message, size_t length) {
  const std::string_view all(message, length);
  const size_t at = all.find('@');
  if (at == std::string_view::npos) return false;
  const std::string_view action = all.substr(0, at);
  // A device is announced ("add") before the kernel configures it, and "bind" follows
  // once it has.
  if (action != "add" && action != "bind" && action != "remove") return false;
  bool usb = false;
  bool device = false;
  for (size_t start = all.find('\0'); start != std::string_view::npos && start < all.size();) {
    const size_t end = all.find('\0', start + 1);
    const std::string_view item =
        all.substr(start + 1, (end == std::string_view::npos ? all.size() : end) - start - 1);
    if (item == "SUBSYSTEM=usb") usb = true;
    if (item == "DEVTYPE=usb_device") device = true;
    start = end;
  }
  return usb && device;
}

KernelUsbEvents::KernelUsbEvents() {
  socket_ = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_KOBJECT_UEVENT);
  if (socket_ < 0) return;
  sockaddr_nl address{};
  address.nl_family = AF_NETLINK;
  address.nl_groups = kKernelGroup;
  if (bind(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(socket_);
    socket_ = -1;
  }
}

KernelUsbEvents::~KernelUsbEvents() {
  if (socket_ >= 0) close(socket_);
}

bool KernelUsbEvents::Drain() {
  if (socket_ < 0) return false;
  bool changed = false;
  char message[kMessageBytes];
  for (;;) {
    sockaddr_nl sender{};
    socklen_t senderLength = sizeof sender;
    const ssize_t length = recvfrom(socket_, message, sizeof message, 0,
                                    reinterpret_cast<sockaddr*>(&sender), &senderLength);
    if (length < 0) {
      // ENOBUFS: messages were lost, so something may have changed unheard.
      if (errno == ENOBUFS) changed = true;
      if (errno == EINTR || errno == ENOBUFS) continue;
      return changed;
    }
    // Only the kernel's own word counts, not a process sending to the group.
    if (sender.nl_pid != 0) continue;
    if (IsUsbDeviceUevent(message, static_cast<size_t>(length))) changed = true;
  }
}
