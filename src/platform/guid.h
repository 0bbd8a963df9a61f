// A 16-byte class identifier in its usual {8-4-4-4-12} text form.
#pragma once
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

struct Guid {
  uint32_t Data1 = 0;
  uint16_t Data2 = 0;
  uint16_t Data3 = 0;
  std::array<uint8_t, 8> Data4{};

  friend bool operator==(const Guid&, const Guid&) = default;
  // "{05FC6C39-ECC3-4441-89C9-EC9884C41116}" (upper-case hex, with braces)
  std::string ToString() const;
  static std::optional<Guid> Parse(std::string_view text);  // with or without braces
};
