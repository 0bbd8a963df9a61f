// The system's announcement that it is about to sleep (logind's PrepareForSleep on the
// system bus), turned into a call on the GUI thread. Where there is no bus, or no logind
// on it, it silently listens to nothing.
#pragma once
#include <QDBusConnection>
#include <QObject>
#include <functional>

namespace ui::qt {

class SleepNotice : public QObject {
  Q_OBJECT

 public:
  // `notify(true)` as the system goes to sleep, `notify(false)` when it is back.
  SleepNotice(QDBusConnection bus, std::function<void(bool sleeping)> notify);
  ~SleepNotice() override;
  bool Listening() const { return listening_; }

 private slots:
  void OnPrepareForSleep(bool sleeping);

 private:
  QDBusConnection bus_;
  std::function<void(bool)> notify_;
  bool listening_ = false;
};

}  // namespace ui::qt
