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
  v.platformId = 2;
  v.majorVersion = major;
  v.minorVersion = minor;
  v.productType = productType;
  v.extendedRead = true;
  return v;
}

OsVersionRecord WithProduct(OsVersionRecord v, uint32_t code) {
  v.haveProductCode = true;
  v.productCode = code;
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
  eight.buildNumber = 9200;
  EXPECT_EQ(DescribeVersionRecord(eight), u"Windows 8 build 9200 (64-bit)");

  OsVersionRecord seven = WithProduct(Nt(6, 1, 1), 1);
  seven.servicePack = u"Service Pack 1";
  seven.buildNumber = 7601;
  EXPECT_EQ(DescribeVersionRecord(seven),
            u"Windows 7 Ultimate Edition Service Pack 1 build 7601 (64-bit)");

  OsVersionRecord ten = WithProduct(Nt(10, 0, 1), 101);
  ten.buildNumber = 19045;
  EXPECT_EQ(DescribeVersionRecord(ten), u" build 19045 (64-bit)");
}

TEST(SystemDescription, Windows95Family) {
  OsVersionRecord v;
  v.platformId = 1;
  v.majorVersion = 4;
  v.extendedRead = true;
  v.productType = 1;
  EXPECT_EQ(Name(v), u"Windows 95 ");
  v.minorVersion = 10;
  EXPECT_EQ(Name(v), u"Windows 98 ");
  v.servicePack = u"A";
  EXPECT_EQ(Name(v), u"Windows 98 SE ");
  v.minorVersion = 89;
  EXPECT_EQ(Name(v), u"Windows 98 SE ");
  v.minorVersion = 90;
  EXPECT_EQ(Name(v), u"Windows ME ");
  v.platformId = 0;
  EXPECT_EQ(Name(v), u"Unknown or new O/S ");
  v.platformId = 3;
  EXPECT_EQ(Name(v), u"Unknown or new O/S ");
}

TEST(SystemDescription, NtNamesWithEditionWordsBeforeVersion6) {
  EXPECT_EQ(Name(Nt(3, 51, 1)), u"Windows NT3 Professional ");
  EXPECT_EQ(Name(Nt(4, 0, 1)), u"Windows NT4 Workstation 4.0 ");
  OsVersionRecord nt4Server = Nt(4, 0, 3);
  EXPECT_EQ(Name(nt4Server), u"Windows NT4 Server 4.0 ");
  nt4Server.suiteMask = 0x2;
  EXPECT_EQ(Name(nt4Server), u"Windows NT4 Server 4.0, Enterprise Edition ");

  OsVersionRecord w2000 = Nt(5, 0, 2);
  EXPECT_EQ(Name(w2000), u"Windows 2000 Server ");
  w2000.suiteMask = 0x82;
  EXPECT_EQ(Name(w2000), u"Windows 2000 Datacenter Server ");
  w2000.suiteMask = 0x2;
  EXPECT_EQ(Name(w2000), u"Windows 2000 Advanced Server ");

  OsVersionRecord xp = Nt(5, 1, 1);
  EXPECT_EQ(Name(xp), u"Windows XP Professional ");
  xp.suiteMask = 0x200;
  EXPECT_EQ(Name(xp), u"Windows XP Home Edition ");
  xp.processorArchitecture = 9;  // a 64-bit workstation gets no edition words
  EXPECT_EQ(Name(xp), u"Windows XP ");

  OsVersionRecord xp64 = Nt(5, 2, 1);
  xp64.processorArchitecture = 9;
  EXPECT_EQ(Name(xp64), u"Windows XP Professional x64 Edition ");

  OsVersionRecord s2003 = Nt(5, 2, 3);
  EXPECT_EQ(Name(s2003), u"Windows Server 2003 Standard Edition ");
  s2003.suiteMask = 0x400;
  EXPECT_EQ(Name(s2003), u"Windows Server 2003 Web Edition ");
  s2003.suiteMask = 0x402;  // enterprise is tested before the exact blade value
  EXPECT_EQ(Name(s2003), u"Windows Server 2003 Enterprise Edition ");
  s2003.suiteMask = 0x82;
  EXPECT_EQ(Name(s2003), u"Windows Server 2003 Datacenter Edition ");
  s2003.serverR2 = true;
  EXPECT_EQ(Name(s2003), u"Windows Server 2003 \"R2\" Datacenter Edition ");
  s2003.processorArchitecture = 9;
  EXPECT_EQ(Name(s2003), u"Windows Server 2003 \"R2\" Datacenter x64 Edition ");
  s2003.suiteMask = 0x2;
  EXPECT_EQ(Name(s2003), u"Windows Server 2003 \"R2\" Enterprise x64 Edition ");
  s2003.suiteMask = 0x400;
  EXPECT_EQ(Name(s2003), u"Windows Server 2003 \"R2\" Standard x64 Edition ");

  OsVersionRecord other = Nt(5, 2, 4);  // unknown product type: no words
  EXPECT_EQ(Name(other), u"Windows Server 2003 ");
  OsVersionRecord noSecondRead = Nt(5, 1, 1);
  noSecondRead.extendedRead = false;
  EXPECT_EQ(Name(noSecondRead), u"Windows XP ");
}

TEST(SystemDescription, Version6NamesAndProductCodes) {
  EXPECT_EQ(Name(WithProduct(Nt(6, 0, 1), 3)), u"Windows Vista Home Premium Edition ");
  EXPECT_EQ(Name(WithProduct(Nt(6, 0, 3), 8)),
            u"Windows Server 2008 Server Datacenter Edition (full installation) ");
  EXPECT_EQ(Name(WithProduct(Nt(6, 1, 2), 14)),
            u"Windows Server 2008 R2 Server Enterprise Edition (core installation) ");
  EXPECT_EQ(Name(WithProduct(Nt(6, 2, 3), 25)),
            u"Windows Server 8 Small Business Server Premium Edition ");
  EXPECT_EQ(Name(WithProduct(Nt(6, 3, 1), 4)), u"Windows 7 Enterprise Edition ");
  EXPECT_EQ(Name(WithProduct(Nt(6, 1, 1), 15)), u"Windows 7 ");
  EXPECT_EQ(Name(WithProduct(Nt(6, 1, 1), 0)), u"Windows 7 ");
  EXPECT_EQ(Name(WithProduct(Nt(6, 1, 1), 26)), u"Windows 7 ");
  EXPECT_EQ(Name(Nt(6, 1, 1)), u"Windows 7 ");  // no product-code call
  EXPECT_EQ(Name(WithProduct(Nt(10, 0, 1), 1)), u"Ultimate Edition ");
}

TEST(SystemDescription, TrimAndCollapse) {
  std::u16string text = u"ab \t\r\n";
  TrimTrailingSpace(text);
  EXPECT_EQ(text, u"ab");
  text = u" \x01";
  TrimTrailingSpace(text);
  EXPECT_EQ(text, u"");

  text = u"  a   b  c  \n";
  CollapseSpaces(text, 256);
  EXPECT_EQ(text, u" a b c");
  text = u"a  b  ";
  CollapseSpaces(text, 1025);
  EXPECT_EQ(text, u"a  b  ");
  text = u"abcdef";
  CollapseSpaces(text, 3);
  EXPECT_EQ(text, u"abc");
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
  EXPECT_LE(line.size(), 256u);

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
  EXPECT_EQ(ParseOsReleasePrettyName("PRETTY_NAME=Plain"), "Plain");
  EXPECT_EQ(ParseOsReleasePrettyName("NAME=Only\nXPRETTY_NAME=No\n"), "");
  EXPECT_EQ(ParseOsReleasePrettyName(""), "");

  EXPECT_EQ(ParseKernelBuildCounter("#1 SMP PREEMPT_DYNAMIC Debian 6.1.76-1"), 1u);
  EXPECT_EQ(ParseKernelBuildCounter("#123-Ubuntu SMP"), 123u);
  EXPECT_EQ(ParseKernelBuildCounter("SMP #4"), 0u);
  EXPECT_EQ(ParseKernelBuildCounter("#99999999999999"), 0u);
  EXPECT_EQ(ParseKernelBuildCounter(""), 0u);
}
