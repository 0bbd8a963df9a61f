#include "gadget/plugd_options.h"

#include <gtest/gtest.h>

namespace {

TEST(PlugdOptions, ValuesInBothFormsAndDefaults) {
  auto r = ParsePlugdOptions({});
  ASSERT_TRUE(r.Ok);
  EXPECT_TRUE(r.Options.Udc.empty());
  EXPECT_FALSE(r.Options.Faults.Any());
  r = ParsePlugdOptions({"--udc", "fe980000.usb", "--serial=BOARD-7", "-v", "--fault",
                         "read-error-every=5, corrupt-every=3,corrupt-bytes=4"});
  ASSERT_TRUE(r.Ok) << r.Error;
  EXPECT_EQ(r.Options.Udc, "fe980000.usb");
  EXPECT_EQ(r.Options.Serial, "BOARD-7");
  EXPECT_TRUE(r.Options.Verbose);
  EXPECT_EQ(r.Options.Faults.ReadErrorEvery, 5u);
  EXPECT_EQ(r.Options.Faults.CorruptEvery, 3u);
  EXPECT_EQ(r.Options.Faults.CorruptBytes, 4u);
}

TEST(PlugdOptions, BadArgumentsAreNamedWithWhatWouldBeValid) {
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"--serial", "has#hash"}, "--serial \"has#hash\""},
      {{"--serial", "ABCDEFGHIJKLMNOPQRST"}, "1 to 19"},
      {{"--serial"}, "--serial needs a value"},
      {{"--fault", "timeout-every=2"}, "Valid faults: read-error-every, write-error-every"},
      {{"--fault", "read-error-every=0"}, "from 1 to"},
      {{"--fault", "corrupt-bytes=x"}, "\"corrupt-bytes\""},
      {{"--speed", "high"}, "Unknown argument \"--speed\""},
      {{"--verbose=1"}, "takes no value"},
  };
  for (const auto& [args, message] : cases) {
    const auto r = ParsePlugdOptions(args);
    EXPECT_FALSE(r.Ok) << args[0];
    EXPECT_NE(r.Error.find(message), std::string::npos) << r.Error;
  }
}

TEST(GadgetFaults, ErrorBeatsShortBeatsCorruptAndOutSeesOnlyErrors) {
  GadgetFaults f;
  f.ReadErrorEvery = 6;
  f.ShortReadEvery = 3;
  f.CorruptEvery = 2;
  f.WriteErrorEvery = 4;
  const GadgetFault in[] = {GadgetFault::None,    GadgetFault::Corrupt, GadgetFault::Short,
                            GadgetFault::Corrupt, GadgetFault::None,    GadgetFault::Error};
  for (uint32_t n = 1; n <= 6; ++n) {
    EXPECT_EQ(ChooseGadgetFault(f, true, n), in[n - 1]) << n;
    EXPECT_EQ(ChooseGadgetFault(f, false, n), n == 4 ? GadgetFault::Error : GadgetFault::None);
  }
  EXPECT_EQ(ShortTransferLength(65536, 1024), 32768u);
  EXPECT_EQ(ShortTransferLength(3000, 1024), 1024u);  // whole packets when one fits
  EXPECT_EQ(ShortTransferLength(1000, 1024), 500u);
}

}  // namespace
