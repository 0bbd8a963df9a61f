// Feeds request blocks of any content and length, with output buffers of any size,
// to the request decoder, and traps when an accepted request points outside the
// buffers it came with. The first three bytes choose the request code, whether the
// block is answered in place, and the size of a separate output buffer; the rest is
// the input block. Every area the decoder hands out is then written, so that ASan
// catches one that reaches past its buffer.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/win_error.h"
#include "protocol/request_decoder.h"

namespace {
void Check(bool condition) {
  if (!condition) __builtin_trap();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const uint32_t codes[] = {IOCTL_EP0_TRANSFER, IOCTL_BUFFERED_TRANSFER, IOCTL_DIRECT_TRANSFER,
                            IOCTL_GET_SPEED};
  const uint32_t code = codes[data[0] & 3];
  const bool inPlace = (data[1] & 1) != 0;
  std::vector<uint8_t> in(data + 3, data + size);
  std::vector<uint8_t> out(inPlace ? 0 : size_t(data[2]) * 16 + (data[1] >> 1));
  void* output = inPlace ? in.data() : out.data();
  const uint32_t outLength = static_cast<uint32_t>(inPlace ? in.size() : out.size());
  if (in.empty()) return 0;
  if (outLength == 0) output = nullptr;

  TransferRequest r;
  if (DecodeTransferRequest(code, in.data(), static_cast<uint32_t>(in.size()), output, outLength,
                            &r) != ERROR_SUCCESS) {
    return 0;
  }
  Check(code != IOCTL_GET_SPEED);
  const bool direct = r.Form == TransferForm::Direct;
  uint8_t* const block = direct ? in.data() : static_cast<uint8_t*>(output);
  const size_t blockLength = direct ? in.size() : outLength;
  Check(r.Block == block);
  Check(blockLength >= DRIVER_TRANSFER_BLOCK_SIZE);
  if (direct) {
    Check(r.Data == output && r.Length == (output ? outLength : 0) && r.HeaderBytes == 0);
  } else {
    Check(r.Data >= block + DRIVER_TRANSFER_BLOCK_SIZE);
    Check(r.Data + r.Length <= block + blockLength);
    Check(r.HeaderBytes == static_cast<uint32_t>(r.Data - block));
  }
  if (r.Records != nullptr) {
    Check(r.Records >= block + DRIVER_TRANSFER_BLOCK_SIZE);
    Check(r.Records + size_t(r.Packets) * ISO_PACKET_RESULT_SIZE <= block + blockLength);
    std::memset(r.Records, 0, size_t(r.Packets) * ISO_PACKET_RESULT_SIZE);
  }
  if (r.Form == TransferForm::Endpoint0) {
    Check(r.EndpointAddress == 0 && r.Length == r.Setup.wLength);
  } else {
    Check(r.EndpointAddress != 0);
  }
  if (r.Length != 0) std::memset(r.Data, 0xA5, r.Length);
  WriteTransferStatus(r.Block, 1, 2);
  return 0;
}
