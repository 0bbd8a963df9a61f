// One line naming the operating system, for the trace header.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

// The version facts the naming table decides on, as a Windows system reports them.
struct OsVersionRecord {
  uint32_t MajorVersion = 0;
  uint32_t MinorVersion = 0;
  uint32_t BuildNumber = 0;
  uint32_t PlatformId = 0;  // 1 the Windows 95 family, 2 the NT family
  std::u16string ServicePack;
  uint16_t ServicePackMajor = 0;
  uint16_t ServicePackMinor = 0;
  uint8_t ProductType = 0;  // 1 workstation, 2 domain controller, 3 server
  uint16_t SuiteMask = 0;
  uint16_t ProcessorArchitecture = 0;  // 9 = x64; 0 when the system cannot say
  bool ServerR2 = false;               // the system reports Server 2003 R2
  bool ExtendedRead = false;           // the second, extended version read succeeded
  bool HaveProductCode = false;        // the product-code call exists and succeeded
  uint32_t ProductCode = 0;
};

// Fills name (release name, then edition words) and edition ("(64-bit) ").
void GetWindowsVersionName(const OsVersionRecord& version, std::u16string& name,
                           std::u16string& edition);
// Removes characters with codes below 33 from the end.
void TrimTrailingSpace(std::u16string& text);
// Limits above 1024 leave the text as it is. Otherwise trims, then keeps what is left of
// the first `limit` characters with every run of spaces reduced to one space.
void CollapseSpaces(std::u16string& text, size_t limit);

// The line for a version record: "<name> <service pack> build <n> <edition>", collapsed.
std::u16string DescribeVersionRecord(const OsVersionRecord& version);
// The line for the running system, of the same shape:
// "<distribution> <kernel release> build <kernel build counter> (<bits>-bit)".
// Fills the buffer (cut to fit, always terminated) and returns it.
char16_t* DescribeOperatingSystem(char16_t* buffer, size_t bufferChars);
