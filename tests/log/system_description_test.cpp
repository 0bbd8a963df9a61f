#include "log/system_description.h"

#include <gtest/gtest.h>
#include <sys/utsname.h>

#include <algorithm>
#include <iterator>

#include "log/log_test_support.h"
#include "platform/os_info.h"
#include "platform/text.h"

namespace {

OsVersionRecord Nt(uint32_t major, uint32_t minor, uint8_t productType) {
  OsVersionRecord v;
  v.PlatformId = 2;
  v.MajorVersion = major;
  v.MinorVersion = minor;
  v.ProductType = productType;
  v.ExtendedRead = true;
  return v;
}

OsVersionRecord WithProduct(OsVersionRecord v, uint32_t code) {
  v.HaveProductCode = true;
  v.ProductCode = code;
  return v;
}

std::u16string Name(const OsVersionRecord& v) {
  std::u16string name = u"stale", edition = u"stale";
  GetWindowsVersionName(v, name, edition);
  EXPECT_EQ(edition, u"(64-bit) ");
  return name;
}

}  // namespace

TEST(SystemDescription, LinesForKnownSystems) {
  OsVersionRecord eight = WithProduct(Nt(6, 2, 1), 48);
  eight.BuildNumber = 9200;
  EXPECT_EQ(DescribeVersionRecord(eight), u"Windows 8 build 9200 (64-bit)");

  OsVersionRecord seven = WithProduct(Nt(6, 1, 1), 1);
  seven.ServicePack = u"Service Pack 1";
  seven.BuildNumber = 7601;
  EXPECT_EQ(DescribeVersionRecord(seven),
            u"Windows 7 Ultimate Edition Service Pack 1 build 7601 (64-bit)");

  OsVersionRecord ten = WithProduct(Nt(10, 0, 1), 101);
  ten.BuildNumber = 19045;
  EXPECT_EQ(DescribeVersionRecord(ten), u" build 19045 (64-bit)");
}

TEST(SystemDescription, VersionNamesWithEditionWords) {
  constexpr int kNone = -1;  // no product code
  const struct {
    uint32_t platform, major, minor;
    uint8_t ProductType;
    uint16_t suite, architecture;
    bool r2;
    int ProductCode;
    const char16_t* servicePack;
    std::u16string name;
  } cases[] = {
      {1, 4, 0, 1, 0, 0, false, kNone, u"", u"Windows 95 "},
      {1, 4, 89, 1, 0, 0, false, kNone, u"A", u"Windows 98 SE "},
      {1, 4, 90, 1, 0, 0, false, kNone, u"A", u"Windows ME "},
      {3, 4, 90, 1, 0, 0, false, kNone, u"", u"Unknown or new O/S "},
      {2, 4, 0, 3, 0x2, 0, false, kNone, u"", u"Windows NT4 Server 4.0, Enterprise Edition "},
      {2, 5, 0, 2, 0x82, 0, false, kNone, u"", u"Windows 2000 Datacenter Server "},
      {2, 5, 1, 1, 0x200, 0, false, kNone, u"", u"Windows XP Home Edition "},
      {2, 5, 1, 1, 0x200, 9, false, kNone, u"", u"Windows XP "},  // 64-bit workstation: no words
      {2, 5, 2, 1, 0, 9, false, kNone, u"", u"Windows XP Professional x64 Edition "},
      {2, 5, 2, 3, 0x400, 0, false, kNone, u"", u"Windows Server 2003 Web Edition "},
      // Enterprise is tested before the exact blade value.
      {2, 5, 2, 3, 0x402, 0, false, kNone, u"", u"Windows Server 2003 Enterprise Edition "},
      {2, 5, 2, 3, 0x82, 9, true, kNone, u"",
       u"Windows Server 2003 \"R2\" Datacenter x64 Edition "},
      {2, 5, 2, 4, 0, 0, false, kNone, u"", u"Windows Server 2003 "},  // unknown type: no words
      {2, 6, 1, 2, 0, 0, false, 14, u"",
       u"Windows Server 2008 R2 Server Enterprise Edition (core installation) "},
      {2, 6, 1, 1, 0, 0, false, 26, u"", u"Windows 7 "},  // past the table
      {2, 10, 0, 1, 0, 0, false, 1, u"", u"Ultimate Edition "},
  };
  for (const auto& c : cases) {
    OsVersionRecord v = Nt(c.major, c.minor, c.ProductType);
    v.PlatformId = c.platform;
    v.SuiteMask = c.suite;
    v.ProcessorArchitecture = c.architecture;
    v.ServerR2 = c.r2;
    v.ServicePack = c.servicePack;
    if (c.ProductCode != kNone) v = WithProduct(v, static_cast<uint32_t>(c.ProductCode));
    EXPECT_EQ(Name(v), c.name) << Utf16ToUtf8(c.name);
  }
  OsVersionRecord noSecondRead = Nt(5, 1, 1);
  noSecondRead.ExtendedRead = false;
  EXPECT_EQ(Name(noSecondRead), u"Windows XP ");
}

TEST(SystemDescription, TrimAndCollapse) {
  std::u16string text = u"ab \t\r\n\x01";
  TrimTrailingSpace(text);
  EXPECT_EQ(text, u"ab");

  text = u"  a   b  c  \n";
  CollapseSpaces(text, 256);
  EXPECT_EQ(text, u" a b c");
  // The limit counts characters examined, not characters kept.
  text = u"a    bcd";
  CollapseSpaces(text, 6);
  EXPECT_EQ(text, u"a b");
  text = u"tabs\t\tstay";
  CollapseSpaces(text, 1024);
  EXPECT_EQ(text, u"tabs\t\tstay");
}

TEST(SystemDescription, RunningSystemLine) {
  char16_t buffer[1024];
  std::fill(std::begin(buffer), std::end(buffer), u'#');
  EXPECT_EQ(DescribeOperatingSystem(buffer, 1024), buffer);
  const std::string line = Utf16ToUtf8(buffer);
  struct utsname names;
  ASSERT_EQ(uname(&names), 0);
  const size_t build = line.rfind(" build ");
  ASSERT_NE(build, std::string::npos) << line;
  EXPECT_TRUE(MatchesShape(line.substr(build), " build * (64-bit)") ||
              MatchesShape(line.substr(build), " build * (32-bit)"))
      << line;
  EXPECT_NE(line[0], ' ') << line;
  EXPECT_NE(line.find(std::string(" ") + names.release + " build "), std::string::npos) << line;
  EXPECT_EQ(line.find("  "), std::string::npos) << line;

  char16_t small[10];
  DescribeOperatingSystem(small, 10);
  EXPECT_EQ(std::u16string(small), std::u16string(buffer).substr(0, 9));
}

TEST(SystemDescription, OsReleaseAndKernelVersionParsing) {
  EXPECT_EQ(
      ParseOsReleasePrettyName("NAME=\"X\"\nPRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\n"),
      "Debian GNU/Linux 12 (bookworm)");
  EXPECT_EQ(ParseOsReleasePrettyName("PRETTY_NAME='Single \"quoted\"'\r\n"), "Single \"quoted\"");
  EXPECT_EQ(ParseOsReleasePrettyName("PRETTY_NAME=\"Say \\\"hi\\\" \\\\o/\""), "Say \"hi\" \\o/");
  EXPECT_EQ(ParseOsReleasePrettyName("NAME=Only\nXPRETTY_NAME=No\n"), "");
  EXPECT_EQ(ParseOsReleasePrettyName(""), "");

  EXPECT_EQ(ParseKernelBuildCounter("#1 SMP PREEMPT_DYNAMIC Debian 6.1.76-1"), 1u);
  EXPECT_EQ(ParseKernelBuildCounter("#123-Ubuntu SMP"), 123u);
  EXPECT_EQ(ParseKernelBuildCounter("SMP #4"), 0u);
  EXPECT_EQ(ParseKernelBuildCounter("#99999999999999"), 0u);
}
