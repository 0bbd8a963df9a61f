// The notice registry every driver backend delivers through.
#include "platform/notice_registry.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace {

struct Recorder : DeviceNoticeRecipient {
  std::vector<DeviceNotice> Seen;
  std::function<void()> OnNotice;
  void OnDeviceNotice(const DeviceNotice& notice) override {
    Seen.push_back(notice);
    if (OnNotice) OnNotice();
  }
};

DeviceNotice Interface(uint32_t event, std::string path) {
  DeviceNotice n;
  n.Event = event;
  n.IsInterface = true;
  n.Path = std::move(path);
  return n;
}

DeviceNotice HandleNotice(DriverHandle handle) {
  DeviceNotice n;
  n.Event = DBT_DEVICEREMOVECOMPLETE;
  n.Handle = handle;
  return n;
}

TEST(NoticeRegistry, EachNoticeReachesItsRegistrationsOnlyInTheOrderGiven) {
  NoticeRegistry notices;
  Recorder window, plugA, plugB;
  notices.RegisterClass(&window);
  notices.RegisterHandle(0x100, &plugA);
  notices.RegisterHandle(0x104, &plugB);
  notices.Deliver({HandleNotice(0x100), Interface(DBT_DEVICEREMOVECOMPLETE, "p1"),
                   Interface(DBT_DEVICEARRIVAL, "p1")});
  ASSERT_EQ(window.Seen.size(), 2u);
  EXPECT_EQ(window.Seen[0].Event, DBT_DEVICEREMOVECOMPLETE);
  EXPECT_EQ(window.Seen[1].Event, DBT_DEVICEARRIVAL);
  EXPECT_EQ(window.Seen[1].Path, "p1");
  ASSERT_EQ(plugA.Seen.size(), 1u);
  EXPECT_EQ(plugA.Seen[0].Handle, 0x100);
  EXPECT_TRUE(plugB.Seen.empty());

  // Posted notices wait for the delivery, come in the order posted, and only once.
  notices.Post({Interface(DBT_DEVICEARRIVAL, "p2")});
  notices.Post({Interface(DBT_DEVICEARRIVAL, "p3")});
  EXPECT_EQ(window.Seen.size(), 2u);
  notices.DeliverPosted();
  notices.DeliverPosted();
  ASSERT_EQ(window.Seen.size(), 4u);
  EXPECT_EQ(window.Seen[2].Path, "p2");
  EXPECT_EQ(window.Seen[3].Path, "p3");
}

TEST(NoticeRegistry, ARecipientMayUnregisterWhileNoticesAreDelivered) {
  NoticeRegistry notices;
  Recorder window;
  const NotifyHandle id = notices.RegisterClass(&window);
  window.OnNotice = [&] { EXPECT_TRUE(notices.Unregister(id, true)); };
  notices.Deliver({Interface(DBT_DEVICEARRIVAL, "a"), Interface(DBT_DEVICEARRIVAL, "b")});
  EXPECT_EQ(window.Seen.size(), 1u);  // gone before the second notice
  EXPECT_FALSE(notices.Unregister(id, false));
}

}  // namespace
