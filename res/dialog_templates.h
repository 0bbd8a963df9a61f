// The dialog templates of the program: one description of every dialog and control
// that both window-layer implementations build from.
#pragma once
#include <cstdint>
#include <span>
#include <string_view>

#include "window/types.h"

namespace res {

// Control and dialog style bits.
enum ControlStyle : uint32_t {
  Hidden = 1u << 0,
  Disabled = 1u << 1,
  GroupStart = 1u << 2,  // first control of a radio group / tab group
  DropDownList = 1u << 3,
  VerticalScroll = 1u << 4,
  NumberOnly = 1u << 5,
  RightAligned = 1u << 6,
  Centred = 1u << 7,
  Sunken = 1u << 8,
  Bordered = 1u << 9,
  AutoHorizontalScroll = 1u << 10,
  Vertical = 1u << 11,  // scroll bars; without it a scroll bar or trackbar is horizontal
  DefaultButton = 1u << 12,
  AutoRadio = 1u << 13,  // checking it unchecks the rest of its group
  AutoCheck = 1u << 14,
  TabStop = 1u << 15,
  AutoTicks = 1u << 16,
};

enum DialogStyle : uint32_t {
  Caption = 1u << 0,
  SystemMenu = 1u << 1,
  ModalFrame = 1u << 2,
  StaticEdge = 1u << 3,
  ControlParent = 1u << 4,
};

constexpr int32_t IDC_STATIC = -1;

struct ControlTemplate {
  int32_t id;
  ui::ControlClass controlClass;
  std::u16string_view text;
  int32_t x, y, width, height;  // dialog units
  uint32_t style;
  int32_t imageId;  // static images: the bitmap resource; otherwise 0
};

struct DialogTemplate {
  std::string_view name;
  std::string_view className;  // empty: the standard dialog class
  std::u16string_view title;
  std::u16string_view fontFace;
  int32_t fontPoints;
  int32_t width, height;  // dialog units
  uint32_t style;
  std::span<const ControlTemplate> controls;

  const ControlTemplate* Find(int32_t id) const;
};

// "TARNWICK", "CONFBOX", "ABOUTBOX"; nullptr for any other name.
const DialogTemplate* FindDialogTemplate(std::string_view name);

}  // namespace res
