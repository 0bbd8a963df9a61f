#include "ui/qt/sleep_notice.h"

#include <utility>

namespace ui::qt {
namespace {

const QString kService = QStringLiteral("org.freedesktop.login1");
const QString kPath = QStringLiteral("/org/freedesktop/login1");
const QString kInterface = QStringLiteral("org.freedesktop.login1.Manager");
const QString kSignal = QStringLiteral("PrepareForSleep");

}  // namespace

SleepNotice::SleepNotice(QDBusConnection bus, std::function<void(bool sleeping)> notify)
    : bus_(std::move(bus)), notify_(std::move(notify)) {
  if (!bus_.isConnected()) return;
  listening_ =
      bus_.connect(kService, kPath, kInterface, kSignal, this, SLOT(OnPrepareForSleep(bool)));
}

SleepNotice::~SleepNotice() {
  if (listening_) {
    bus_.disconnect(kService, kPath, kInterface, kSignal, this, SLOT(OnPrepareForSleep(bool)));
  }
}

void SleepNotice::OnPrepareForSleep(bool sleeping) {
  if (notify_) notify_(sleeping);
}

}  // namespace ui::qt
