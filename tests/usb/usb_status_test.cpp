#include "usb/usb_status.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "engines/log_capture.h"
#include "platform/win_error.h"
#include "usb/usb_endpoint.h"

namespace {

TEST(DescribeUsbdStatusTest, StateFromTheTopBitsConditionFromTheRest) {
  const std::pair<uint32_t, const char*> cases[] = {
      // Success reads the same whatever the state bits.
      {0x00000000, "[state=SUCCESS status=USBD_STATUS_SUCCESS]"},
      {0xC0000000, "[state=SUCCESS status=USBD_STATUS_SUCCESS]"},
      {0xC0000004, " [state=STALLED status=USBD_STATUS_STALL_PID]"},
      {0x80000030, " [state=ERROR   status=USBD_STATUS_ENDPOINT_HALTED]"},
      {0x40000A00, " [state=PENDING status=USBD_STATUS_BAD_START_FRAME]"},
      {0x00000004, " [state=SUCCESS status=USBD_STATUS_STALL_PID]"},
      {0xC0000D00, " [state=STALLED status=USBD_STATUS_FRAME_CONTROL_NOT_OWNED]"},
      {0x10000005, "status=USBD_STATUS_DEV_NOT_RESPONDING]"},  // a nameless state: no state text
      {0xC000000E, " [state=STALLED status=UNKNOWN]"},
      {0xC0000E00, " [state=STALLED status=UNKNOWN]"},
  };
  for (const auto& [status, expected] : cases) {
    char text[USBD_STATUS_TEXT_SIZE];
    EXPECT_STREQ(DescribeUsbdStatus(status, text), expected) << std::hex << status;
  }

  char small[9];
  std::memset(small, 'z', sizeof small);
  DescribeUsbdStatus(0xC0000004, small, 8);
  EXPECT_STREQ(small, " [state");
  EXPECT_EQ(small[8], 'z');
}

std::string SystemText(uint32_t code) {
  return Utf16ToUtf8(SystemErrorText(code));
}

class ReportDriverErrorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static const uint8_t kBulkIn[7] = {7, 5, 0x81, 2, 0x00, 0x04, 0};
    endpoint_ = UsbEndpoint::FromDescriptor(INVALID_DRIVER_HANDLE, kBulkIn, nullptr);
    ASSERT_NE(endpoint_, nullptr);
  }

  LogCapture log_;
  std::unique_ptr<UsbEndpoint> endpoint_;
};

TEST_F(ReportDriverErrorTest, ContextThenDriverThenBusStatus) {
  endpoint_->NtStatus = 0xC0000001;
  endpoint_->UsbdStatus = 0xC0000004;
  ReportDriverError(u"Read failed", 0, endpoint_.get());
  const auto records = log_.Records();
  ASSERT_EQ(records.size(), 5u);
  EXPECT_EQ(records[0].text, "Read failed");
  EXPECT_EQ(records[1].text, "USB device driver error reported: 0xc0000001");
  EXPECT_EQ(records[2].text, Utf16ToUtf8(NtStatusText(0xC0000001)));
  EXPECT_FALSE(records[2].text.empty());
  EXPECT_EQ(records[3].text, "USB request status reported: 0xc0000004");
  // The record carries two blanks after the colon; the log keeps ERROR records with
  // runs of blanks collapsed.
  EXPECT_EQ(records[4].text, "Endpt UsbdStatus: [state=STALLED status=USBD_STATUS_STALL_PID]");
  for (const auto& record : records) EXPECT_EQ(record.category, LogCategory::Error);
}

TEST_F(ReportDriverErrorTest, SystemErrorsAreNumberedThenExplained) {
  struct Case {
    uint32_t Error, EndpointError, NtStatus;
    std::vector<std::string> Texts;
  };
  const Case cases[] = {
      {ERROR_GEN_FAILURE, 0, 0, {"Write failed : 31", SystemText(ERROR_GEN_FAILURE)}},
      // The endpoint's own error is told only when it differs from the call's.
      {ERROR_SEM_TIMEOUT,
       ERROR_SEM_TIMEOUT,
       0,
       {"Write failed : 121", SystemText(ERROR_SEM_TIMEOUT)}},
      {ERROR_SEM_TIMEOUT,
       ERROR_OPERATION_ABORTED,
       0,
       {"Write failed : 121", SystemText(ERROR_SEM_TIMEOUT), SystemText(ERROR_OPERATION_ABORTED)}},
      // Codes without a text repeat the previous record.
      {9999, 12345, 0, {"Write failed : 9999", "Write failed : 9999", "Write failed : 9999"}},
      // A driver status without a text gets no text record.
      {0, 0, 0xC0001234, {"Write failed", "USB device driver error reported: 0xc0001234"}},
      {0, 0, 0, {"Write failed"}},  // a quiet endpoint adds nothing
  };
  for (const Case& c : cases) {
    LogCapture log;
    endpoint_->LastWinError = c.EndpointError;
    endpoint_->NtStatus = c.NtStatus;
    ReportDriverError(u"Write failed", c.Error, endpoint_.get());
    EXPECT_EQ(log.Texts(), c.Texts) << c.Error << "/" << c.EndpointError;
  }
}

TEST_F(ReportDriverErrorTest, NoEndpointAndLongContext) {
  ReportDriverError(u"Bulk read", 0, nullptr);
  ReportDriverError(u"Bulk write", ERROR_CRC, nullptr);
  EXPECT_EQ(log_.Texts(),
            (std::vector<std::string>{"Bulk read", "Bulk write : 23", SystemText(ERROR_CRC)}));

  LogCapture log;
  const std::u16string longContext(5000, u'c');
  ReportDriverError(longContext.c_str(), 0, nullptr);  // cut, not overrun
  const auto texts = log.Texts();
  ASSERT_EQ(texts.size(), 1u);
  EXPECT_EQ(texts[0], std::string(texts[0].size(), 'c'));
  EXPECT_GT(texts[0].size(), 100u);
}

}  // namespace
