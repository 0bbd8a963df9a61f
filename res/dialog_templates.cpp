#include "res/dialog_templates.h"

#include "res/control_ids.h"

namespace res {
namespace {

using CC = ui::ControlClass;

constexpr ControlTemplate kMainControls[] = {
    {IDC_SELECT_GROUP, CC::GroupBox, u"Select USB Device", 7, 7, 180, 67, 0, 0},
    {IDC_DEVICE_LABEL, CC::Static, u"Device", 10, 26, 34, 8, RightAligned, 0},
    {IDC_DEVICE_LIST, CC::ComboBox, u"", 49, 23, 130, 217, DropDownList | VerticalScroll | TabStop,
     0},
    {IDC_CONNECTION_LABEL, CC::Static, u"Connection Type", 10, 46, 65, 8, RightAligned, 0},
    {IDC_CONNECTION_LIST, CC::ComboBox, u"", 80, 43, 99, 217,
     DropDownList | VerticalScroll | TabStop, 0},
    {IDC_SERIAL_LABEL, CC::Static, u"Serial No.", 372, 139, 35, 8, Hidden, 0},
    {IDC_SERIAL_EDIT, CC::Edit, u"", 411, 136, 90, 14,
     Hidden | Bordered | AutoHorizontalScroll | TabStop, 0},
    {IDC_DURATION_LABEL, CC::Static, u"Duration", 375, 159, 30, 8, 0, 0},
    {IDC_DURATION_EDIT, CC::Edit, u"0", 411, 155, 26, 14, Bordered | AutoHorizontalScroll | TabStop,
     0},
    {IDC_MINUTES_LABEL, CC::Static, u"Minutes (0=forever)", 440, 159, 44, 8, 0, 0},
    {IDC_TEST_MODE_GROUP, CC::GroupBox, u"Test mode", 192, 7, 68, 67, 0, 0},
    {IDC_LOOPBACK, CC::RadioButton, u"Loopback", 198, 22, 47, 10, AutoRadio | GroupStart | TabStop,
     0},
    {IDC_BENCHMARK, CC::RadioButton, u"Benchmark", 198, 38, 51, 10, AutoRadio, 0},
    {IDC_PLUG_DISPLAY, CC::Static, u"", 395, 78, 104, 48, 0, 0},
    {IDC_START, CC::PushButton, u"Start", 375, 182, 52, 19, GroupStart | TabStop, 0},
    {IDC_STOP, CC::PushButton, u"Stop", 435, 182, 52, 19, Disabled | TabStop, 0},
    {IDC_CONFIGURE, CC::PushButton, u"Configure", 375, 205, 52, 19, TabStop, 0},
    {IDC_FLASH_LEDS, CC::PushButton, u"Flash LEDs", 435, 205, 52, 19, TabStop, 0},
    {IDC_CLEAR_SERIAL, CC::PushButton, u"Clear Serial", 375, 228, 52, 19, TabStop, 0},
    {IDC_SAVE_LOG, CC::PushButton, u"Save Log", 435, 228, 52, 19, TabStop, 0},
    {IDC_RESET_ALL, CC::PushButton, u"Reset All", 375, 251, 52, 19, TabStop, 0},
    {IDC_HELP, CC::PushButton, u"Help", 435, 251, 52, 19, TabStop, 0},
    {IDC_ABOUT, CC::PushButton, u"About", 375, 274, 52, 19, TabStop, 0},
    {IDC_EXIT, CC::PushButton, u"Exit", 435, 274, 52, 19, TabStop, 0},
    {IDC_LOG_PANEL, CC::Static, u"", 9, 79, 350, 185, 0, 0},
    {IDC_LOG_SCROLL, CC::ScrollBar, u"", 360, 110, 10, 185, Vertical, 0},
    {IDC_STATIC, CC::StaticImage, u"", 364, 0, 145, 53, Centred, IDB_BANNER},
};

// Two columns: endpoint options above the mode-specific group on the left (the
// benchmark and loopback groups share one place; only one is shown at a time), transfer
// options on the right, OK and Cancel below the right column.
constexpr ControlTemplate kConfigControls[] = {
    {IDC_ENDPOINT_GROUP, CC::GroupBox, u"Endpoint Options", 7, 7, 150, 118, 0, 0},
    {IDC_IN_LABEL, CC::Static, u"In No", 14, 22, 60, 8, 0, 0},
    {IDC_IN_LIST, CC::ComboBox, u"", 80, 20, 70, 100, DropDownList | VerticalScroll | TabStop, 0},
    {IDC_OUT_LABEL, CC::Static, u"Out No", 14, 38, 60, 8, 0, 0},
    {IDC_OUT_LIST, CC::ComboBox, u"", 80, 36, 70, 100, DropDownList | VerticalScroll | TabStop, 0},
    {IDC_TYPE_LABEL, CC::Static, u"Type", 14, 54, 60, 8, 0, 0},
    {IDC_TYPE_LIST, CC::ComboBox, u"", 80, 52, 70, 100, DropDownList | VerticalScroll | TabStop, 0},
    {IDC_BURST_LABEL, CC::Static, u"Burst Length", 14, 70, 60, 8, 0, 0},
    {IDC_BURST_LIST, CC::ComboBox, u"", 80, 68, 70, 100, DropDownList | VerticalScroll | TabStop,
     0},
    {IDC_INTERVAL_LABEL, CC::Static, u"Pooling Interval", 14, 86, 60, 8, 0, 0},
    {IDC_INTERVAL_LIST, CC::ComboBox, u"", 80, 84, 70, 100, DropDownList | VerticalScroll | TabStop,
     0},
    {IDC_ISO_PACKETS_LABEL, CC::Static, u"ISO Packets/PI", 14, 102, 60, 8, 0, 0},
    {IDC_ISO_PACKETS_LIST, CC::ComboBox, u"", 80, 100, 70, 100,
     DropDownList | VerticalScroll | TabStop, 0},

    {IDC_BENCHMARK_GROUP, CC::GroupBox, u"Benchmark Options", 7, 130, 150, 70, Hidden, 0},
    {IDC_READ, CC::RadioButton, u"Read", 14, 143, 130, 10,
     Hidden | AutoRadio | GroupStart | TabStop, 0},
    {IDC_WRITE, CC::RadioButton, u"Write", 14, 156, 130, 10, Hidden | AutoRadio, 0},
    {IDC_READ_THEN_WRITE, CC::RadioButton, u"Read then Write", 14, 169, 130, 10, Hidden | AutoRadio,
     0},
    {IDC_READ_AND_WRITE, CC::RadioButton, u"Read and Write", 14, 182, 130, 10, Hidden | AutoRadio,
     0},

    {IDC_LOOPBACK_GROUP, CC::GroupBox, u"Loopback Options", 7, 130, 150, 70, 0, 0},
    {IDC_LOAD_LABEL, CC::Static, u"Loopback load", 14, 143, 60, 8, 0, 0},
    {IDC_LOAD_TRACKBAR, CC::Trackbar, u"", 14, 155, 100, 15, AutoTicks | TabStop, 0},
    {IDC_LOAD_EDIT, CC::Edit, u"", 118, 156, 24, 12, Bordered | NumberOnly | TabStop, 0},
    {IDC_PERCENT_LABEL, CC::Static, u"%", 144, 158, 8, 8, 0, 0},
    {IDC_CHECK_BUS_ERRORS, CC::CheckBox, u"Check bus errors", 14, 180, 130, 10, AutoCheck | TabStop,
     0},

    {IDC_TRANSFER_GROUP, CC::GroupBox, u"USB transfer options", 165, 7, 148, 193, 0, 0},
    {IDC_TRANSFER_SIZE_LABEL, CC::Static, u"Transfer Size", 172, 22, 60, 8, 0, 0},
    {IDC_TRANSFER_SIZE_LIST, CC::ComboBox, u"", 236, 20, 70, 100,
     DropDownList | VerticalScroll | TabStop, 0},
    {IDC_QUEUE_SIZE_LABEL, CC::Static, u"Queue Size", 172, 38, 60, 8, 0, 0},
    {IDC_QUEUE_SIZE_LIST, CC::ComboBox, u"", 236, 36, 70, 100,
     DropDownList | VerticalScroll | TabStop, 0},
    {IDC_CONSTANT, CC::RadioButton, u"Constant", 172, 58, 60, 10, AutoRadio | GroupStart | TabStop,
     0},
    {IDC_CONSTANT_EDIT, CC::Edit, u"", 236, 57, 40, 12, Bordered | NumberOnly | TabStop, 0},
    {IDC_INCREMENTING, CC::RadioButton, u"Incrementing sequence", 172, 74, 130, 10, AutoRadio, 0},
    {IDC_RANDOM, CC::RadioButton, u"Random numbers", 172, 90, 130, 10, AutoRadio, 0},
    {IDC_VERIFY, CC::CheckBox, u"Verify data transferred", 172, 110, 130, 10,
     AutoCheck | GroupStart | TabStop, 0},
    {IDC_VERBOSE, CC::CheckBox, u"Verbose logging", 172, 126, 130, 10, AutoCheck | TabStop, 0},

    {IDC_OK, CC::PushButton, u"OK", 195, 208, 55, 14, DefaultButton | GroupStart | TabStop, 0},
    {IDC_CANCEL, CC::PushButton, u"Cancel", 258, 208, 55, 14, TabStop, 0},
};

constexpr ControlTemplate kAboutControls[] = {
    {IDC_STATIC, CC::StaticImage, u"", 7, 8, 159, 117, Centred, IDB_BANNER},
    {IDC_STATIC, CC::GroupBox, u"", 7, 126, 160, 54, 0, 0},
    {IDC_ABOUT_VERSION, CC::Static, u"Version 0.1", 17, 134, 140, 10, Centred | Sunken, 0},
    // The product page; a reserved domain until the product has a public one.
    {IDC_ABOUT_ADDRESS, CC::Static, u"https://tarnwick.quorvale.example", 17, 149, 140, 10,
     Centred | Sunken, 0},
    {IDC_OK, CC::PushButton, u"OK", 60, 186, 55, 13, DefaultButton | TabStop, 0},
};

constexpr DialogTemplate kTemplates[] = {
    {"TARNWICK", "TARNWICK", u"Quorvale(TM) Tarnwick", u"Tahoma", 8, 510, 301,
     Caption | SystemMenu | ModalFrame | StaticEdge | ControlParent, kMainControls},
    {"CONFBOX", "", u"Test configuration", u"Tahoma", 10, 320, 230,
     Caption | SystemMenu | ModalFrame, kConfigControls},
    {"ABOUTBOX", "", u"About Tarnwick", u"Tahoma", 10, 175, 212, Caption | ModalFrame,
     kAboutControls},
};

}  // namespace

const ControlTemplate* DialogTemplate::Find(int32_t id) const {
  for (const ControlTemplate& control : controls) {
    if (control.id == id) return &control;
  }
  return nullptr;
}

const DialogTemplate* FindDialogTemplate(std::string_view name) {
  for (const DialogTemplate& dialog : kTemplates) {
    if (dialog.name == name) return &dialog;
  }
  return nullptr;
}

}  // namespace res
