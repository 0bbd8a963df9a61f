// libusb's results as the error report reads them.
#include "usbhost/host_status.h"

#include <gtest/gtest.h>
#include <libusb.h>

#include <set>
#include <string>

#include "platform/win_error.h"
#include "protocol/status_words.h"
#include "usb/usb_status.h"

namespace {

const int kTransferStatuses[] = {LIBUSB_TRANSFER_COMPLETED, LIBUSB_TRANSFER_ERROR,
                                 LIBUSB_TRANSFER_TIMED_OUT, LIBUSB_TRANSFER_CANCELLED,
                                 LIBUSB_TRANSFER_STALL,     LIBUSB_TRANSFER_NO_DEVICE,
                                 LIBUSB_TRANSFER_OVERFLOW,  TRANSFER_ALL_PACKETS_FAILED};

const int kErrors[] = {LIBUSB_SUCCESS,
                       LIBUSB_ERROR_IO,
                       LIBUSB_ERROR_INVALID_PARAM,
                       LIBUSB_ERROR_ACCESS,
                       LIBUSB_ERROR_NO_DEVICE,
                       LIBUSB_ERROR_NOT_FOUND,
                       LIBUSB_ERROR_BUSY,
                       LIBUSB_ERROR_TIMEOUT,
                       LIBUSB_ERROR_OVERFLOW,
                       LIBUSB_ERROR_PIPE,
                       LIBUSB_ERROR_INTERRUPTED,
                       LIBUSB_ERROR_NO_MEM,
                       LIBUSB_ERROR_NOT_SUPPORTED,
                       LIBUSB_ERROR_OTHER};

// What the error report needs to explain a failure: a system error it has text for,
// a driver status it has text for, and a bus status it can name.
void ExpectExplainable(const HostOutcome& outcome) {
  if (outcome.Error == ERROR_SUCCESS) {
    EXPECT_EQ(outcome, HostOutcome{});
    return;
  }
  EXPECT_NE(SystemErrorText(outcome.Error), nullptr) << outcome.Error;
  EXPECT_NE(NtStatusText(outcome.NtStatus), nullptr) << std::hex << outcome.NtStatus;
  EXPECT_EQ(UsbdState(outcome.UsbdStatus), USBD_STATE_HALTED) << std::hex << outcome.UsbdStatus;
  EXPECT_NE(UsbdCondition(outcome.UsbdStatus), 0u);
}

TEST(HostStatus, EveryResultReadsAsSuccessOrAnExplainableFailure) {
  for (int status : kTransferStatuses) {
    SCOPED_TRACE(status);
    ExpectExplainable(OutcomeOfTransferStatus(status));
    EXPECT_EQ(OutcomeOfTransferStatus(status).Error == ERROR_SUCCESS,
              status == LIBUSB_TRANSFER_COMPLETED);
  }
  for (int error : kErrors) {
    SCOPED_TRACE(libusb_error_name(error));
    ExpectExplainable(OutcomeOfError(error));
    EXPECT_EQ(OutcomeOfError(error).Error == ERROR_SUCCESS, error == LIBUSB_SUCCESS);
  }
  // Values a newer libusb might add are failures, never successes.
  EXPECT_NE(OutcomeOfTransferStatus(77).Error, ERROR_SUCCESS);
  EXPECT_NE(OutcomeOfError(-77).Error, ERROR_SUCCESS);
  EXPECT_EQ(OutcomeOfError(12).Error, ERROR_SUCCESS);  // a byte count
}

TEST(HostStatus, AConditionReadsTheSameAsTransferStatusAndAsError) {
  const std::pair<int, int> same[] = {
      {LIBUSB_TRANSFER_STALL, LIBUSB_ERROR_PIPE},
      {LIBUSB_TRANSFER_TIMED_OUT, LIBUSB_ERROR_TIMEOUT},
      {LIBUSB_TRANSFER_NO_DEVICE, LIBUSB_ERROR_NO_DEVICE},
      {LIBUSB_TRANSFER_OVERFLOW, LIBUSB_ERROR_OVERFLOW},
      {LIBUSB_TRANSFER_ERROR, LIBUSB_ERROR_IO},
  };
  for (const auto& [status, error] : same) {
    EXPECT_EQ(OutcomeOfTransferStatus(status), OutcomeOfError(error)) << libusb_error_name(error);
  }
}

TEST(HostStatus, TheFailuresATestMeetsStayApart) {
  // Stall, time-out, cancel, a device gone and an overflow each need their own
  // reading: the engines tell an abort from a failure, the user a stall from a loss.
  const int conditions[] = {LIBUSB_TRANSFER_STALL,     LIBUSB_TRANSFER_TIMED_OUT,
                            LIBUSB_TRANSFER_CANCELLED, LIBUSB_TRANSFER_NO_DEVICE,
                            LIBUSB_TRANSFER_OVERFLOW,  LIBUSB_TRANSFER_ERROR};
  std::set<std::pair<uint32_t, uint32_t>> seen;
  for (int status : conditions) {
    const HostOutcome outcome = OutcomeOfTransferStatus(status);
    EXPECT_TRUE(seen.emplace(outcome.NtStatus, outcome.UsbdStatus).second) << status;
  }
  // Where a name exists, the bus status names what happened.
  char text[USBD_STATUS_TEXT_SIZE];
  EXPECT_NE(std::string(
                DescribeUsbdStatus(OutcomeOfTransferStatus(LIBUSB_TRANSFER_STALL).UsbdStatus, text))
                .find("STALL_PID"),
            std::string::npos);
  EXPECT_NE(std::string(DescribeUsbdStatus(
                            OutcomeOfTransferStatus(LIBUSB_TRANSFER_OVERFLOW).UsbdStatus, text))
                .find("OVERRUN"),
            std::string::npos);
  // What the tool's own time-out and abort paths look for.
  EXPECT_EQ(OutcomeOfTransferStatus(LIBUSB_TRANSFER_CANCELLED).Error, ERROR_OPERATION_ABORTED);
  EXPECT_EQ(OutcomeOfTransferStatus(LIBUSB_TRANSFER_NO_DEVICE).Error, ERROR_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(OutcomeOfError(LIBUSB_ERROR_ACCESS).Error, ERROR_ACCESS_DENIED);
}

}  // namespace
