// The notice registry every driver backend delivers through.
#include "platform/notice_registry.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/notice_recorder.h"

namespace {

TEST(NoticeRegistry, EachNoticeReachesItsRegistrationsOnlyInTheOrderGiven) {
  NoticeRegistry notices;
  NoticeRecorder window, plugA, plugB;
  notices.RegisterClass(&window);
  notices.RegisterHandle(0x100, &plugA);
  notices.RegisterHandle(0x104, &plugB);
  notices.Deliver({HandleNotice(0x100), InterfaceNotice(DBT_DEVICEREMOVECOMPLETE, "p1"),
                   InterfaceNotice(DBT_DEVICEARRIVAL, "p1")});
  ASSERT_EQ(window.Seen.size(), 2u);
  EXPECT_EQ(window.Seen[0].Event, DBT_DEVICEREMOVECOMPLETE);
  EXPECT_EQ(window.Seen[1].Event, DBT_DEVICEARRIVAL);
  EXPECT_EQ(window.Seen[1].Path, "p1");
  ASSERT_EQ(plugA.Seen.size(), 1u);
  EXPECT_EQ(plugA.Seen[0].Handle, 0x100);
  EXPECT_TRUE(plugB.Seen.empty());

  // Posted notices wait for the delivery, come in the order posted, and only once.
  notices.Post({InterfaceNotice(DBT_DEVICEARRIVAL, "p2")});
  notices.Post({InterfaceNotice(DBT_DEVICEARRIVAL, "p3")});
  EXPECT_EQ(window.Seen.size(), 2u);
  notices.DeliverPosted();
  notices.DeliverPosted();
  ASSERT_EQ(window.Seen.size(), 4u);
  EXPECT_EQ(window.Seen[2].Path, "p2");
  EXPECT_EQ(window.Seen[3].Path, "p3");
}

TEST(NoticeRegistry, ARecipientMayUnregisterWhileNoticesAreDelivered) {
  NoticeRegistry notices;
  NoticeRecorder window;
  const NotifyHandle id = notices.RegisterClass(&window);
  window.OnNotice = [&] { EXPECT_TRUE(notices.Unregister(id, true)); };
  notices.Deliver(
      {InterfaceNotice(DBT_DEVICEARRIVAL, "a"), InterfaceNotice(DBT_DEVICEARRIVAL, "b")});
  EXPECT_EQ(window.Seen.size(), 1u);  // gone before the second notice
  EXPECT_FALSE(notices.Unregister(id, false));
}

}  // namespace
