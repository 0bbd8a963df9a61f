#include "log/system_description.h"

#include <iterator>

#include "platform/os_info.h"
#include "platform/text.h"

namespace {

constexpr size_t kLineLimit = 256;
constexpr uint16_t kArchitectureX64 = 9;
constexpr uint16_t kSuiteEnterprise = 0x2;
constexpr uint16_t kSuiteDatacenter = 0x80;
constexpr uint16_t kSuitePersonal = 0x200;
constexpr uint16_t kSuiteBlade = 0x400;

const char16_t* NtReleaseName(const OsVersionRecord& v, bool x64) {
  const bool workstation = v.ProductType == 1;
  if (v.MajorVersion < 4) return u"Windows NT3 ";
  if (v.MajorVersion == 4) return u"Windows NT4 ";
  if (v.MajorVersion == 5) {
    if (v.MinorVersion == 0) return u"Windows 2000 ";
    if (v.MinorVersion == 2) {
      if (v.ServerR2) return u"Windows Server 2003 \"R2\" ";
      if (workstation && x64) return u"Windows XP Professional x64 Edition ";
      return u"Windows Server 2003 ";
    }
    return u"Windows XP ";
  }
  if (v.MajorVersion == 6) {
    if (v.MinorVersion == 0) return workstation ? u"Windows Vista " : u"Windows Server 2008 ";
    if (v.MinorVersion == 2) return workstation ? u"Windows 8 " : u"Windows Server 8 ";
    return workstation ? u"Windows 7 " : u"Windows Server 2008 R2 ";
  }
  return u"";
}

const char16_t* ServerEditionWords(const OsVersionRecord& v, bool x64) {
  const uint16_t suite = v.SuiteMask;
  if (v.MajorVersion == 5 && v.MinorVersion == 2) {
    if (x64) {
      if (suite & kSuiteDatacenter) return u"Datacenter x64 Edition ";
      if (suite & kSuiteEnterprise) return u"Enterprise x64 Edition ";
      return u"Standard x64 Edition ";
    }
    if (suite & kSuiteDatacenter) return u"Datacenter Edition ";
    if (suite & kSuiteEnterprise) return u"Enterprise Edition ";
    if (suite == kSuiteBlade) return u"Web Edition ";
    return u"Standard Edition ";
  }
  if (v.MajorVersion == 5 && v.MinorVersion == 0) {
    if (suite & kSuiteDatacenter) return u"Datacenter Server ";
    if (suite & kSuiteEnterprise) return u"Advanced Server ";
    return u"Server ";
  }
  if (suite & kSuiteEnterprise) return u"Server 4.0, Enterprise Edition ";
  return u"Server 4.0 ";
}

const char16_t* EditionWordsBefore6(const OsVersionRecord& v, bool x64) {
  if (v.ProductType == 1) {
    if (x64) return u"";
    if (v.MajorVersion == 4) return u"Workstation 4.0 ";
    if (v.SuiteMask & kSuitePersonal) return u"Home Edition ";
    return u"Professional ";
  }
  if (v.ProductType == 2 || v.ProductType == 3) return ServerEditionWords(v, x64);
  return u"";
}

const char16_t* ProductCodeWords(uint32_t code) {
  static const char16_t* const kWords[] = {
      u"",
      u"Ultimate Edition ",
      u"Home Basic Edition ",
      u"Home Premium Edition ",
      u"Enterprise Edition ",
      u"Home Basic N Edition ",
      u"Business Edition ",
      u"Server Standard Edition (full installation) ",
      u"Server Datacenter Edition (full installation) ",
      u"Small Business Server ",
      u"Server Enterprise Edition (full installation) ",
      u"Starter Edition ",
      u"Server Datacenter Edition (core installation) ",
      u"Server Standard Edition (core installation) ",
      u"Server Enterprise Edition (core installation) ",
      u"",
      u"Business N Edition ",
      u"Web Server Edition ",
      u"Cluster Server Edition ",
      u"Home Server Edition ",
      u"Storage Server Express Edition ",
      u"Storage Server Standard Edition ",
      u"Storage Server Workgroup Edition ",
      u"Storage Server Enterprise Edition ",
      u"Server for Small Business Edition ",
      u"Small Business Server Premium Edition ",
  };
  return code < std::size(kWords) ? kWords[code] : u"";
}

std::u16string FormatLine(std::u16string_view name, std::u16string_view servicePack, int32_t build,
                          std::u16string_view edition) {
  std::u16string line(name);
  line += u' ';
  line += servicePack;
  line += u" build ";
  line += Utf8ToUtf16(std::to_string(build));
  line += u' ';
  line += edition;
  CollapseSpaces(line, kLineLimit);
  return line;
}

}  // namespace

void GetWindowsVersionName(const OsVersionRecord& version, std::u16string& name,
                           std::u16string& edition) {
  name.clear();
  const bool x64 = version.ProcessorArchitecture == kArchitectureX64;
  if (version.PlatformId == 1) {
    if (version.MinorVersion == 0)
      name = u"Windows 95 ";
    else if (version.MinorVersion < 90)
      name = !version.ServicePack.empty() && version.ServicePack[0] == u'A' ? u"Windows 98 SE "
                                                                            : u"Windows 98 ";
    else
      name = u"Windows ME ";
  } else if (version.PlatformId == 2) {
    name = NtReleaseName(version, x64);
    if (version.ExtendedRead) {
      if (version.MajorVersion < 6)
        name += EditionWordsBefore6(version, x64);
      else if (version.HaveProductCode)
        name += ProductCodeWords(version.ProductCode);
    }
  } else {
    name = u"Unknown or new O/S ";
  }
  edition = u"(64-bit) ";
}

void TrimTrailingSpace(std::u16string& text) {
  while (!text.empty() && text.back() < 33) text.pop_back();
}

void CollapseSpaces(std::u16string& text, size_t limit) {
  if (limit > 1024) return;
  TrimTrailingSpace(text);
  std::u16string out;
  const size_t examined = text.size() < limit ? text.size() : limit;
  for (size_t i = 0; i < examined; ++i) {
    if (text[i] == u' ' && i + 1 < text.size() && text[i + 1] == u' ') continue;
    out += text[i];
  }
  text = std::move(out);
}

std::u16string DescribeVersionRecord(const OsVersionRecord& version) {
  std::u16string name, edition;
  GetWindowsVersionName(version, name, edition);
  return FormatLine(name, version.ServicePack, static_cast<int32_t>(version.BuildNumber), edition);
}

char16_t* DescribeOperatingSystem(char16_t* buffer, size_t bufferChars) {
  if (buffer == nullptr || bufferChars == 0) return buffer;
  const OsInfo info = ReadOsInfo();
  // The kernel's build counter stands where the Windows build number stood.
  std::u16string edition = u"(";
  edition += Utf8ToUtf16(std::to_string(info.PointerBits));
  edition += u"-bit) ";
  std::u16string name = Utf8ToUtf16(info.PrettyName);
  name += u' ';
  const std::u16string line = FormatLine(name, Utf8ToUtf16(info.KernelRelease),
                                         static_cast<int32_t>(info.BuildCounter), edition);
  const size_t n = line.size() < bufferChars - 1 ? line.size() : bufferChars - 1;
  line.copy(buffer, n);
  buffer[n] = 0;
  return buffer;
}
