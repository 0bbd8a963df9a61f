// Runs one of the kernel's usbtest cases on a device bound to usbtest, as its testusb
// tool does, and prints the rate: the kernel's own figure beside the plug's in the
// gadget's end-to-end run.
//
//   usbtest_bulk DEVICE-NODE TEST ITERATIONS LENGTH
#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// usbtest's request for 64-bit time fields.
struct UsbtestParam {
  uint32_t TestNum;
  uint32_t Iterations;
  uint32_t Length;
  uint32_t Vary;
  uint32_t SgLength;
  int64_t DurationSec;
  int64_t DurationUsec;
};
static_assert(sizeof(UsbtestParam) == 40);
constexpr unsigned long kUsbtestRequest = _IOWR('U', 100, UsbtestParam);

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: usbtest_bulk DEVICE-NODE TEST ITERATIONS LENGTH\n");
    return 2;
  }
  const int fd = open(argv[1], O_RDWR);
  if (fd < 0) {
    std::fprintf(stderr, "usbtest_bulk: %s: %s\n", argv[1], std::strerror(errno));
    return 1;
  }
  UsbtestParam param{};
  param.TestNum = static_cast<uint32_t>(std::atoi(argv[2]));
  param.Iterations = static_cast<uint32_t>(std::atoi(argv[3]));
  param.Length = static_cast<uint32_t>(std::atoi(argv[4]));
  param.SgLength = 32;
  usbdevfs_ioctl request{};
  request.ifno = 0;
  request.ioctl_code = static_cast<int>(kUsbtestRequest);
  request.data = &param;
  const int result = ioctl(fd, USBDEVFS_IOCTL, &request);
  const int error = errno;
  close(fd);
  if (result < 0) {
    std::fprintf(stderr, "usbtest_bulk: test %u failed: %s\n", param.TestNum, std::strerror(error));
    return 1;
  }
  const double seconds = param.DurationSec + param.DurationUsec / 1e6;
  const double bytes = double(param.Iterations) * param.Length;
  std::printf("usbtest %u: %u x %u bytes in %.3f s, %.1f MB/s\n", param.TestNum, param.Iterations,
              param.Length, seconds, seconds > 0 ? bytes / seconds / 1048576.0 : 0.0);
  return 0;
}
