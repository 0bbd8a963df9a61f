#include "ui/config_dialog.h"

#include <algorithm>
#include <climits>
#include <string>
#include <string_view>

#include "platform/message_box.h"
#include "platform/text.h"
#include "plug/plug_monitor.h"
#include "res/control_ids.h"
#include "ui/about_box.h"

using namespace res;

TestConfigRecord DialogConfig;

namespace {

constexpr char16_t kBulkName[] = u"BULK";
constexpr char16_t kIsoName[] = u"ISO";
constexpr char16_t kAutoSizeName[] = u"AUTO";

constexpr char16_t kIsoWarningText[] =
    u"Isochronous mode is not fully supported by some USB host chipsets / drivers. Before "
    u"using this mode make sure that BIOS and host controller driver is up to date";
constexpr char16_t kIsoWarningTitle[] = u"ISO mode warning";
constexpr char16_t kConstantErrorText[] =
    u"The constant test pattern value must be between 0 and 255.\n";
constexpr char16_t kConstantErrorTitle[] = u"Tarnwick Error";
constexpr char16_t kConstantReplacement[] = u"170";

// How much of an edit box's text is read as a number.
constexpr size_t kNumberChars = 63;
constexpr size_t kLoadTypingChars = 4;

constexpr int32_t kLoadTickEvery = 10;
constexpr int32_t kLoadMinimum = 1;
constexpr int32_t kLoadMaximum = 100;

// Shown once per program run, whichever dialog showed it.
bool IsoWarningShown = false;
// The load last seen while the user types, so that only a new value moves the thumb.
int32_t LastTypedLoad = 0;

// Radio buttons of the benchmark directions, indexed by BenchmarkMode.
constexpr int32_t kModeButtons[] = {IDC_READ_THEN_WRITE, IDC_READ, IDC_WRITE, IDC_READ_AND_WRITE};
// Radio buttons of the data patterns, indexed by Pattern.
constexpr int32_t kPatternButtons[] = {IDC_INCREMENTING, IDC_RANDOM, IDC_CONSTANT};

constexpr int32_t kLoopbackControls[] = {IDC_LOOPBACK_GROUP, IDC_LOAD_LABEL,
                                         IDC_LOAD_TRACKBAR,  IDC_LOAD_EDIT,
                                         IDC_PERCENT_LABEL,  IDC_CHECK_BUS_ERRORS};
constexpr int32_t kBenchmarkControls[] = {IDC_BENCHMARK_GROUP, IDC_READ, IDC_WRITE,
                                          IDC_READ_THEN_WRITE, IDC_READ_AND_WRITE};
constexpr int32_t kIsoRows[] = {IDC_INTERVAL_LABEL, IDC_INTERVAL_LIST, IDC_ISO_PACKETS_LABEL,
                                IDC_ISO_PACKETS_LIST};

// Leading blanks, a sign and digits, as a C library reads a number; anything else reads
// as 0. Values beyond 32 bits are held at the nearest limit, which every range check
// then refuses or clamps.
int32_t ReadDecimal(std::u16string_view text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == u' ' || text[i] == u'\t')) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == u'-' || text[i] == u'+')) negative = text[i++] == u'-';
  int64_t value = 0;
  for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i) {
    value = std::min<int64_t>(value * 10 + (text[i] - u'0'), int64_t{INT32_MAX} + 1);
  }
  if (negative) value = -value;
  return static_cast<int32_t>(std::clamp<int64_t>(value, INT32_MIN, INT32_MAX));
}

std::u16string Decimal(int32_t value) {
  return Format16("%d", value);
}

void EnableControl(ui::Window* dialog, int32_t id, bool enable) {
  if (ui::Window* control = dialog->Control(id)) control->Enable(enable);
}

void ShowControl(ui::Window* dialog, int32_t id, bool show) {
  if (ui::Window* control = dialog->Control(id)) control->Show(show);
}

void CheckControl(ui::Window* dialog, int32_t id, bool checked) {
  if (ui::Window* control = dialog->Control(id))
    control->SetCheck(checked ? ui::BST_CHECKED : ui::BST_UNCHECKED);
}

bool IsChecked(ui::Window* dialog, int32_t id) {
  ui::Window* control = dialog->Control(id);
  return control != nullptr && control->GetCheck() == ui::BST_CHECKED;
}

void SetControlText(ui::Window* dialog, int32_t id, std::u16string_view text) {
  if (ui::Window* control = dialog->Control(id)) control->SetText(text);
}

std::u16string ControlText(ui::Window* dialog, int32_t id, size_t maxChars) {
  ui::Window* control = dialog->Control(id);
  return control != nullptr ? control->GetText(maxChars) : std::u16string();
}

int32_t Selection(ui::Window* dialog, int32_t id) {
  ui::Window* control = dialog->Control(id);
  return control != nullptr ? control->ComboSelection() : ui::CB_ERR;
}

std::u16string SelectedText(ui::Window* dialog, int32_t id) {
  ui::Window* control = dialog->Control(id);
  if (control == nullptr) return {};
  return control->ComboItemText(control->ComboSelection());
}

// A list of "1" up to maximum with the entry of value selected.
void FillCountList(ui::Window* list, int32_t maximum, int32_t value) {
  list->ComboReset();
  for (int32_t n = 1; n <= maximum; ++n) list->ComboAdd(Decimal(n));
  list->ComboSelect(value - 1);
}

void FillEndpointList(ui::Window* list, uint32_t number, bool enable) {
  list->ComboReset();
  for (uint32_t n = 1; n <= MAX_ENDPOINT_NUMBER; ++n) {
    if (IsEndpointNumberOffered(n)) list->ComboAdd(Decimal(static_cast<int32_t>(n)));
  }
  list->ComboSelect(list->ComboFind(Decimal(static_cast<int32_t>(number))));
  list->Enable(enable);
}

void FillSizeLists(ui::Window* dialog, const TestConfigRecord& config, bool isochronous) {
  ui::Window* transfer = dialog->Control(IDC_TRANSFER_SIZE_LIST);
  ui::Window* queue = dialog->Control(IDC_QUEUE_SIZE_LIST);
  if (transfer == nullptr || queue == nullptr) return;
  transfer->ComboReset();
  queue->ComboReset();
  if (config.TestMode != TestConfigRecord::Benchmark) {
    // The loopback always moves one 64 KiB block at a time.
    transfer->ComboSelect(transfer->ComboAdd(TransferSizeNames[0]));
    queue->ComboSelect(queue->ComboAdd(QueueSizeNames[0]));
    transfer->Enable(false);
    queue->Enable(false);
    return;
  }
  if (isochronous) {
    // Isochronous transfers are sized from the endpoint when the benchmark starts.
    transfer->ComboSelect(transfer->ComboAdd(kAutoSizeName));
    transfer->Enable(false);
    if (QueueSizeIndex < 0) SetQueueSizeIndex(QUEUE_SIZE_COUNT - 1);
  } else {
    PrepareBenchmarkSizes(config.ConnectionType);
    const int32_t choices = TransferSizeChoiceCount(config.ConnectionType);
    for (int32_t i = 0; i < choices; ++i) transfer->ComboAdd(TransferSizeNames[i]);
    transfer->ComboSelect(TransferSizeIndex);
    transfer->Enable(true);
  }
  for (const char16_t* name : QueueSizeNames) queue->ComboAdd(name);
  queue->ComboSelect(QueueSizeIndex);
  queue->Enable(true);
}

void FillIntervalList(ui::Window* list, TestConfigRecord& config) {
  config.PollingInterval = std::min(config.PollingInterval, MAX_POLLING_INTERVAL);
  list->ComboReset();
  for (int32_t k = 0; k < MAX_POLLING_INTERVAL; ++k) {
    // Frames of 1 ms at full speed, microframes of 125 us above it.
    list->ComboAdd(config.ConnectionType == TestConfigRecord::FullSpeed
                       ? Format16("%dms", 1 << k)
                       : Format16("%dus", (1 << k) * 125));
  }
  list->ComboSelect(config.PollingInterval - 1);
}

void FillModeControls(ui::Window* dialog, const TestConfigRecord& config, bool isochronous) {
  const bool benchmark = config.TestMode == TestConfigRecord::Benchmark;
  for (int32_t id : kLoopbackControls) ShowControl(dialog, id, !benchmark);
  for (int32_t id : kBenchmarkControls) ShowControl(dialog, id, benchmark);
  if (benchmark) {
    for (int32_t id : {IDC_READ_THEN_WRITE, IDC_READ_AND_WRITE}) {
      if (isochronous) CheckControl(dialog, id, false);
      EnableControl(dialog, id, !isochronous);
    }
    for (uint32_t mode = 0; mode < std::size(kModeButtons); ++mode) {
      CheckControl(dialog, kModeButtons[mode], mode == config.BenchmarkMode);
    }
    return;
  }
  if (ui::Window* trackbar = dialog->Control(IDC_LOAD_TRACKBAR)) {
    trackbar->SetTrackRange(kLoadMinimum, kLoadMaximum);
    trackbar->SetTrackTickFrequency(kLoadTickEvery);
    trackbar->SetTrackPos(config.LoopbackLoad);
  }
  SetControlText(dialog, IDC_LOAD_EDIT, Decimal(config.LoopbackLoad));
  CheckControl(dialog, IDC_CHECK_BUS_ERRORS, config.CheckBusErrors != 0);
}

void ShowIsoWarningOnce(ui::Window* dialog) {
  if (IsoWarningShown) return;
  IsoWarningShown = true;
  if (ui::WindowSystem* system = ui::GetWindowSystem())
    system->MessageBox(dialog, kIsoWarningText, kIsoWarningTitle, MB_OK | MB_ICONEXCLAMATION);
}

void OnTypeChosen(ui::Window* dialog) {
  const std::u16string chosen = SelectedText(dialog, IDC_TYPE_LIST);
  if (chosen == kIsoName) {
    SelectEndpointType(DialogConfig, TestConfigRecord::Isochronous);
    FillConfigDialog(dialog);
    ShowIsoWarningOnce(dialog);
  } else if (chosen == kBulkName) {
    SelectEndpointType(DialogConfig, TestConfigRecord::Bulk);
    FillConfigDialog(dialog);
  }
}

void OnConstantLeft(ui::Window* dialog) {
  const int32_t value = ReadDecimal(ControlText(dialog, IDC_CONSTANT_EDIT, kNumberChars));
  if (IsValidConstantValue(value)) {
    DialogConfig.ConstantValue = static_cast<uint8_t>(value);
    return;
  }
  if (ui::WindowSystem* system = ui::GetWindowSystem())
    system->MessageBox(dialog, kConstantErrorText, kConstantErrorTitle, MB_OK);
  SetControlText(dialog, IDC_CONSTANT_EDIT, kConstantReplacement);
}

void OnLoadScrolled(ui::Window* dialog, const ui::Message& message) {
  ui::Window* trackbar = dialog->Control(IDC_LOAD_TRACKBAR);
  if (trackbar == nullptr) return;
  const bool dragging = message.code == ui::SB_THUMBTRACK || message.code == ui::SB_THUMBPOSITION;
  const int32_t position = dragging ? static_cast<int32_t>(message.value) : trackbar->TrackPos();
  SetControlText(dialog, IDC_LOAD_EDIT, Decimal(position));
}

void OnOk(ui::Window* dialog) {
  if (DialogConfig.TestMode == TestConfigRecord::Loopback) {
    // Enter presses OK without the box losing the focus, so its text may not have been
    // clamped yet; the load is a percentage whatever was typed.
    const int32_t load = ReadDecimal(ControlText(dialog, IDC_LOAD_EDIT, kNumberChars));
    DialogConfig.LoopbackLoad = static_cast<uint8_t>(std::clamp(load, kLoadMinimum, kLoadMaximum));
  }
  StoreTestConfig(DialogConfig);
  ApplyConfigToPlug(false);
  dialog->EndDialog(IDOK);
}

void OnCommand(ui::Window* dialog, const ui::Message& message) {
  const bool chosen = message.code == ui::CBN_SELENDOK;
  switch (message.id) {
    case IDC_IN_LIST:
    case IDC_OUT_LIST:
      if (chosen) {
        const int32_t number = ReadDecimal(SelectedText(dialog, message.id));
        if (number > 0) {
          (message.id == IDC_IN_LIST ? DialogConfig.InEndpointNumber
                                     : DialogConfig.OutEndpointNumber) =
              static_cast<uint8_t>(number);
        }
      }
      break;
    case IDC_BURST_LIST:
    case IDC_INTERVAL_LIST:
    case IDC_ISO_PACKETS_LIST:
      if (chosen) {
        const int32_t index = Selection(dialog, message.id);
        if (index == ui::CB_ERR) break;
        uint8_t& field = message.id == IDC_BURST_LIST      ? DialogConfig.BurstLength
                         : message.id == IDC_INTERVAL_LIST ? DialogConfig.PollingInterval
                                                           : DialogConfig.IsoPacketsPerInterval;
        field = static_cast<uint8_t>(index + 1);
      }
      break;
    case IDC_TYPE_LIST:
      if (chosen) OnTypeChosen(dialog);
      break;
    case IDC_READ:
    case IDC_WRITE:
    case IDC_READ_THEN_WRITE:
    case IDC_READ_AND_WRITE:
      DialogConfig.BenchmarkMode = static_cast<uint32_t>(
          std::find(std::begin(kModeButtons), std::end(kModeButtons), message.id) -
          std::begin(kModeButtons));
      FillConfigDialog(dialog);
      break;
    case IDC_CONSTANT:
    case IDC_INCREMENTING:
    case IDC_RANDOM:
      DialogConfig.Pattern = static_cast<uint32_t>(
          std::find(std::begin(kPatternButtons), std::end(kPatternButtons), message.id) -
          std::begin(kPatternButtons));
      break;
    case IDC_CHECK_BUS_ERRORS:
      DialogConfig.CheckBusErrors = IsChecked(dialog, message.id) ? 1 : 0;
      break;
    case IDC_VERIFY:
      DialogConfig.VerifyData = IsChecked(dialog, message.id) ? 1 : 0;
      break;
    case IDC_VERBOSE:
      DialogConfig.VerboseLogging = IsChecked(dialog, message.id) ? 1 : 0;
      break;
    case IDC_CONSTANT_EDIT:
      if (message.code == ui::EN_KILLFOCUS) OnConstantLeft(dialog);
      break;
    case IDC_LOAD_EDIT:
      SyncLoadEdit(dialog, message.code);
      break;
    case IDC_TRANSFER_SIZE_LIST:
      if (chosen) SetTransferSizeIndex(Selection(dialog, message.id));
      break;
    case IDC_QUEUE_SIZE_LIST:
      if (chosen) SetQueueSizeIndex(Selection(dialog, message.id));
      break;
    case IDC_OK:
      OnOk(dialog);
      break;
    case IDC_CANCEL:
      dialog->EndDialog(IDCANCEL);
      break;
    default:
      break;
  }
}

}  // namespace

void FillConfigDialog(ui::Window* dialog) {
  if (dialog == nullptr) return;
  TestConfigRecord& config = DialogConfig;
  const bool isochronous = config.EndpointType == TestConfigRecord::Isochronous;
  const bool benchmark = config.TestMode == TestConfigRecord::Benchmark;

  if (ui::Window* list = dialog->Control(IDC_IN_LIST))
    FillEndpointList(list, config.InEndpointNumber, !isochronous);
  if (ui::Window* list = dialog->Control(IDC_OUT_LIST))
    FillEndpointList(list, config.OutEndpointNumber, !isochronous);

  if (ui::Window* list = dialog->Control(IDC_TYPE_LIST)) {
    list->ComboReset();
    list->ComboAdd(kBulkName);
    if (IsIsochronousOffered(config.TestMode)) list->ComboAdd(kIsoName);
    list->ComboSelect(list->ComboFind(isochronous ? kIsoName : kBulkName));
  }

  if (ui::Window* list = dialog->Control(IDC_BURST_LIST)) {
    ClampBurstLength(config);
    FillCountList(list, MaxBurstLength(config.ConnectionType, config.BenchmarkMode),
                  config.BurstLength);
    list->Enable(config.ConnectionType == TestConfigRecord::SuperSpeed);
  }

  for (int32_t id : kIsoRows) ShowControl(dialog, id, isochronous);

  FillSizeLists(dialog, config, isochronous);

  if (ui::Window* list = dialog->Control(IDC_INTERVAL_LIST)) FillIntervalList(list, config);

  if (ui::Window* list = dialog->Control(IDC_ISO_PACKETS_LIST)) {
    const uint8_t maximum = MaxIsoPacketsPerInterval(config.ConnectionType);
    config.IsoPacketsPerInterval = std::min(config.IsoPacketsPerInterval, maximum);
    FillCountList(list, maximum, config.IsoPacketsPerInterval);
    list->Enable(maximum > 1);
  }

  FillModeControls(dialog, config, isochronous);

  SetControlText(dialog, IDC_CONSTANT_EDIT, Decimal(config.ConstantValue));
  for (uint32_t pattern = 0; pattern < std::size(kPatternButtons); ++pattern) {
    CheckControl(dialog, kPatternButtons[pattern], pattern == config.Pattern);
  }

  // The benchmark never verifies; the box only says so.
  CheckControl(dialog, IDC_VERIFY, benchmark || config.VerifyData != 0);
  EnableControl(dialog, IDC_VERIFY, !benchmark);
  CheckControl(dialog, IDC_VERBOSE, config.VerboseLogging != 0);
}

void SyncLoadEdit(ui::Window* dialog, int32_t code) {
  ui::Window* edit = dialog->Control(IDC_LOAD_EDIT);
  ui::Window* trackbar = dialog->Control(IDC_LOAD_TRACKBAR);
  if (edit == nullptr || trackbar == nullptr) return;
  if (code == ui::EN_CHANGE) {
    const int32_t value = ReadDecimal(edit->GetText(kLoadTypingChars));
    if (value != LastTypedLoad) {
      LastTypedLoad = value;
      trackbar->SetTrackPos(value);
    }
    edit->Invalidate();
  } else if (code == ui::EN_KILLFOCUS) {
    const int32_t value = ReadDecimal(edit->GetText(kNumberChars));
    const int32_t clamped = std::clamp(value, kLoadMinimum, kLoadMaximum);
    if (clamped != value) {
      trackbar->SetTrackPos(clamped);
      edit->SetText(Decimal(clamped));
    }
  }
}

intptr_t ConfigDlgProc(ui::Window* dialog, const ui::Message& message, ui::Window* mainWindow) {
  switch (message.kind) {
    case ui::MessageKind::InitDialog:
      CenterOverParent(dialog, mainWindow);
      DialogConfig = TestConfig;
      FillConfigDialog(dialog);
      return 1;
    case ui::MessageKind::Command:
      OnCommand(dialog, message);
      return 1;
    case ui::MessageKind::HScroll:
      if (message.id == IDC_LOAD_TRACKBAR) OnLoadScrolled(dialog, message);
      return 1;
    case ui::MessageKind::Close:
      // The close box is Cancel.
      dialog->EndDialog(IDCANCEL);
      return 1;
    default:
      return 0;
  }
}

intptr_t RunConfigDialog(ui::Window* mainWindow) {
  ui::WindowSystem* system = ui::GetWindowSystem();
  if (system == nullptr) return -1;
  return system->RunModalDialog("CONFBOX", mainWindow,
                                [mainWindow](ui::Window* dialog, const ui::Message& message) {
                                  return ConfigDlgProc(dialog, message, mainWindow);
                                });
}

void ResetConfigDialogState() {
  DialogConfig = TestConfigRecord{};
  IsoWarningShown = false;
  LastTypedLoad = 0;
}
