#include "sim/sim_options.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "platform/text.h"

namespace {

std::string ErrorOf(const char* text) {
  SimOptionsResult result = ParseSimOptions(text);
  EXPECT_FALSE(result.Ok) << text;
  return Utf16ToUtf8(result.Error);
}

// Every key, each with a value other than its default.
const std::string kEveryKey =
    "plugs=8,speed=high,serial=Bench-1,firmware=21,rate=unlimited,reenum-ms=0,seed=99,"
    "read-error-every=3,write-error-every=4,short-read-every=5,corrupt-every=6,"
    "corrupt-bytes=7,timeout-every=8,stall-every=9,phy-errors=10,link-errors=11,"
    "phy-flags=0x1ff,link-flags=0x7FFF,remove-after-ms=12,no-return,bad-config=1,bad-bos";

// What each key does is shown by the plugs that use it; here, that the parser takes it.
TEST(SimOptions, EveryKeyAndValueFormIsTaken) {
  SimOptionsResult r = ParseSimOptions(kEveryKey.c_str());
  ASSERT_TRUE(r.Ok) << Utf16ToUtf8(r.Error);
  EXPECT_EQ(r.Options.Plugs, 8u);
  r = ParseSimOptions(" rate = 250 , firmware=none ");
  ASSERT_TRUE(r.Ok);
  EXPECT_DOUBLE_EQ(r.Options.RateMBps, 250.0);
  EXPECT_FALSE(r.Options.Unlimited);
  EXPECT_FALSE(r.Options.HasFirmware);
  EXPECT_FALSE(ParseSimOptions("no-return=0").Options.NoReturn);
}

TEST(SimOptions, UnknownKeyIsNamedAndValidKeysListed) {
  std::string error = ErrorOf("plugs=2,colour=blue");
  EXPECT_NE(error.find("\"colour\""), std::string::npos) << error;
  EXPECT_NE(error.find("Valid options:"), std::string::npos);
  std::istringstream items(kEveryKey);
  for (std::string item; std::getline(items, item, ',');) {
    const std::string key = item.substr(0, item.find('='));
    EXPECT_NE(error.find(key), std::string::npos) << key;
  }
}

TEST(SimOptions, GarbageValuesAreRefusedWithTheKeyAndValue) {
  struct Case {
    const char* Text;
    const char* Key;
    const char* Value;
  };
  const Case cases[] = {
      {"plugs=0", "plugs", "0"},
      {"plugs=9", "plugs", "9"},
      {"plugs=two", "plugs", "two"},
      {"plugs=99999999999999999999999", "plugs", "99999999999999999999999"},
      {"speed=ultra", "speed", "ultra"},
      {"firmware=2", "firmware", "2"},
      {"firmware=2.3", "firmware", "2.3"},
      {"rate=fast", "rate", "fast"},
      {"rate=-5", "rate", "-5"},
      {"phy-flags=0x200", "phy-flags", "0x200"},
      {"link-flags=0xZZ", "link-flags", "0xZZ"},
      {"serial=has space", "serial", "has space"},
      {"serial=ABCDEFGHIJKLMNOP", "serial", "ABCDEFGHIJKLMNOP"},
      {"no-return=maybe", "no-return", "maybe"},
  };
  for (const Case& c : cases) {
    std::string error = ErrorOf(c.Text);
    EXPECT_NE(error.find(std::string("\"") + c.Key + "\""), std::string::npos) << error;
    EXPECT_NE(error.find(std::string("\"") + c.Value + "\""), std::string::npos) << error;
  }
  std::string missing = ErrorOf("seed");
  EXPECT_NE(missing.find("needs a value"), std::string::npos) << missing;
}

TEST(SimOptions, ZeroTurnsACountedFaultOrARemovalOff) {
  const char* const keys[] = {"read-error-every",   "write-error-every",   "short-read-every",
                              "corrupt-every",      "timeout-every",       "stall-every",
                              "read-timeout-every", "write-timeout-every", "read-stall-every",
                              "write-stall-every",  "remove-after-ms"};
  for (const char* key : keys) {
    SimOptionsResult r = ParseSimOptions(std::string(key) + "=0");
    EXPECT_TRUE(r.Ok) << key << ": " << Utf16ToUtf8(r.Error);
  }
}

TEST(SimOptions, MessagesNameWhatIsWrongInAFewWords) {
  // A key given twice would leave the user guessing which one holds.
  for (const char* text : {"rate=1,rate=2", "no-return,bad-bos,no-return=0"}) {
    std::string error = ErrorOf(text);
    EXPECT_NE(error.find("twice"), std::string::npos) << error;
    EXPECT_NE(error.find(text[0] == 'r' ? "\"rate\"" : "\"no-return\""), std::string::npos)
        << error;
  }
  // An item without a key is shown whole.
  std::string error = ErrorOf("plugs=2,=5");
  EXPECT_NE(error.find("\"=5\""), std::string::npos) << error;
  EXPECT_EQ(error.find("\"\""), std::string::npos) << error;

  // Whatever was pasted, the message stays short: the echo is cut.
  const size_t keyList = Utf16ToUtf8(SimOptionKeyList()).size();
  for (std::string text : {"seed=" + std::string(5000, '7'), std::string(5000, 'k') + "=1",
                           "serial=" + std::string(3000, '\xC3') + "x"}) {
    std::string message = ErrorOf(text.c_str());
    EXPECT_LT(message.size(), keyList + 250) << message;
    EXPECT_NE(message.find("..."), std::string::npos) << message;
  }
}

}  // namespace
