#include "usb/usb_status.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "engines/log_capture.h"
#include "platform/win_error.h"
#include "usb/usb_endpoint.h"

using ::testing::ElementsAre;

namespace {

std::string Describe(uint32_t status) {
  char text[USBD_STATUS_TEXT_SIZE];
  return DescribeUsbdStatus(status, text);
}

TEST(DescribeUsbdStatusTest, SuccessWhateverTheStateBits) {
  EXPECT_EQ(Describe(0x00000000), "[state=SUCCESS status=USBD_STATUS_SUCCESS]");
  EXPECT_EQ(Describe(0x40000000), "[state=SUCCESS status=USBD_STATUS_SUCCESS]");
  EXPECT_EQ(Describe(0xC0000000), "[state=SUCCESS status=USBD_STATUS_SUCCESS]");
}

TEST(DescribeUsbdStatusTest, StateFromTheTopBitsConditionFromTheRest) {
  EXPECT_EQ(Describe(0xC0000004), " [state=STALLED status=USBD_STATUS_STALL_PID]");
  EXPECT_EQ(Describe(0x80000030), " [state=ERROR   status=USBD_STATUS_ENDPOINT_HALTED]");
  EXPECT_EQ(Describe(0x40000A00), " [state=PENDING status=USBD_STATUS_BAD_START_FRAME]");
  // The same condition reads the same in every state.
  EXPECT_EQ(Describe(0x00000004), " [state=SUCCESS status=USBD_STATUS_STALL_PID]");
  EXPECT_EQ(Describe(0x80000004), " [state=ERROR   status=USBD_STATUS_STALL_PID]");
  // A state nibble with no name gives no state text.
  EXPECT_EQ(Describe(0x10000005), "status=USBD_STATUS_DEV_NOT_RESPONDING]");
  EXPECT_EQ(Describe(0xF0000001), "status=USBD_STATUS_CRC]");
  EXPECT_EQ(Describe(0xC0000D00), " [state=STALLED status=USBD_STATUS_FRAME_CONTROL_NOT_OWNED]");
}

TEST(DescribeUsbdStatusTest, UnlistedConditionsAreUnknown) {
  EXPECT_EQ(Describe(0xC000000E), " [state=STALLED status=UNKNOWN]");
  EXPECT_EQ(Describe(0x80000011), " [state=ERROR   status=UNKNOWN]");
  EXPECT_EQ(Describe(0xC0000E00), " [state=STALLED status=UNKNOWN]");
}

TEST(DescribeUsbdStatusTest, NeverWritesPastASmallBuffer) {
  char text[9];
  std::memset(text, 'z', sizeof text);
  DescribeUsbdStatus(0xC0000004, text, 8);
  EXPECT_STREQ(text, " [state");
  EXPECT_EQ(text[8], 'z');
}

class ReportDriverErrorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static const uint8_t kBulkIn[7] = {7, 5, 0x81, 2, 0x00, 0x04, 0};
    endpoint_ = UsbEndpoint::FromDescriptor(INVALID_DRIVER_HANDLE, kBulkIn, nullptr);
    ASSERT_NE(endpoint_, nullptr);
  }
  std::string SystemText(uint32_t code) { return Utf16ToUtf8(SystemErrorText(code)); }

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

TEST_F(ReportDriverErrorTest, SystemErrorIsNumberedThenExplained) {
  ReportDriverError(u"Write failed", ERROR_GEN_FAILURE, endpoint_.get());
  EXPECT_THAT(log_.Texts(), ElementsAre("Write failed : 31", SystemText(ERROR_GEN_FAILURE)));
}

TEST_F(ReportDriverErrorTest, EndpointErrorEqualToTheCallsIsNotRepeated) {
  endpoint_->LastWinError = ERROR_SEM_TIMEOUT;
  ReportDriverError(u"Write failed", ERROR_SEM_TIMEOUT, endpoint_.get());
  EXPECT_THAT(log_.Texts(), ElementsAre("Write failed : 121", SystemText(ERROR_SEM_TIMEOUT)));
}

TEST_F(ReportDriverErrorTest, DifferentEndpointErrorGetsItsOwnText) {
  endpoint_->LastWinError = ERROR_OPERATION_ABORTED;
  ReportDriverError(u"Read failed", ERROR_SEM_TIMEOUT, endpoint_.get());
  EXPECT_THAT(log_.Texts(), ElementsAre("Read failed : 121", SystemText(ERROR_SEM_TIMEOUT),
                                        SystemText(ERROR_OPERATION_ABORTED)));
}

TEST_F(ReportDriverErrorTest, CodesWithoutATextRepeatThePreviousRecord) {
  endpoint_->LastWinError = 12345;
  ReportDriverError(u"Read failed", 9999, endpoint_.get());
  EXPECT_THAT(log_.Texts(),
              ElementsAre("Read failed : 9999", "Read failed : 9999", "Read failed : 9999"));
}

TEST_F(ReportDriverErrorTest, UnknownDriverStatusHasNoTextRecord) {
  endpoint_->NtStatus = 0xC0001234;
  ReportDriverError(u"Read failed", 0, endpoint_.get());
  EXPECT_THAT(log_.Texts(),
              ElementsAre("Read failed", "USB device driver error reported: 0xc0001234"));
}

TEST_F(ReportDriverErrorTest, QuietEndpointOrNoneAddsNothingBeyondTheContext) {
  ReportDriverError(u"Read failed", 0, endpoint_.get());
  ReportDriverError(u"Bulk read", 0, nullptr);
  ReportDriverError(u"Bulk write", ERROR_CRC, nullptr);
  EXPECT_THAT(log_.Texts(),
              ElementsAre("Read failed", "Bulk read", "Bulk write : 23", SystemText(ERROR_CRC)));
}

TEST_F(ReportDriverErrorTest, LongContextIsCutNotOverrun) {
  const std::u16string longContext(5000, u'c');
  ReportDriverError(longContext.c_str(), 0, nullptr);
  const auto texts = log_.Texts();
  ASSERT_EQ(texts.size(), 1u);
  EXPECT_EQ(texts[0], std::string(texts[0].size(), 'c'));
  EXPECT_GT(texts[0].size(), 100u);
}

}  // namespace
