#include "ui/cli/cli_session.h"

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>

#include "engines/configuration.h"
#include "engines/engine_thread.h"
#include "engines/statistics.h"
#include "log/event_log.h"
#include "log/log_export.h"
#include "platform/message_box.h"
#include "platform/text.h"
#include "plug/plug_monitor.h"
#include "plug/plug_selection.h"
#include "res/control_ids.h"
#include "ui/rate_plot.h"

using namespace res;

namespace {

// How long a plug may take to come back from a re-enumeration before it counts as gone.
constexpr auto kReadyTimeout = std::chrono::seconds(30);
constexpr auto kPollPeriod = std::chrono::milliseconds(10);
constexpr uint32_t kDialogWaitMs = 10000;

std::string Narrow(std::u16string_view text) {
  return Utf16ToUtf8(text);
}

// The serial of a Device list entry ("SERIAL (SPEED)").
std::string EntrySerial(const std::u16string& entry) {
  return Narrow(entry.substr(0, entry.find(u' ')));
}

std::string Join(const std::vector<std::string>& items) {
  std::string out;
  for (const std::string& item : items) out += (out.empty() ? "" : ", ") + item;
  return out.empty() ? "none" : out;
}

std::vector<std::string> ListItems(ui::Window* list) {
  std::vector<std::string> items;
  for (int32_t i = 0; list != nullptr && i < list->ComboCount(); ++i)
    items.push_back(Narrow(list->ComboItemText(i)));
  return items;
}

bool Usable(ui::Window* control) {
  return control != nullptr && control->IsVisible() && control->IsEnabled();
}

// ---- the configuration dialog's controls behind each --set name ----

enum class FieldKind { Radio, List, ListByIndex, Check, Edit };

struct Field {
  const char* Name;
  FieldKind Kind;
  int32_t Control;               // list, check box or edit box
  std::vector<int32_t> Buttons;  // radio buttons, indexed by value
  // List entries that stand for a value (List): its text.
  std::function<std::u16string(int32_t value)> EntryText;
  // Index of the first value (ListByIndex): the entry for value v is v - First.
  int32_t First = 0;
};

const std::vector<Field>& Fields() {
  auto number = [](int32_t value) { return Format16("%d", value); };
  static const std::vector<Field> kFields = {
      {"BenchmarkMode",
       FieldKind::Radio,
       0,
       {IDC_READ_THEN_WRITE, IDC_READ, IDC_WRITE, IDC_READ_AND_WRITE},
       {},
       0},
      {"EndpointType",
       FieldKind::List,
       IDC_TYPE_LIST,
       {},
       [](int32_t value) -> std::u16string {
         return value == static_cast<int32_t>(TestConfigRecord::Isochronous) ? u"ISO"
                : value == static_cast<int32_t>(TestConfigRecord::Bulk)      ? u"BULK"
                                                                             : u"";
       },
       0},
      {"InEndpointNumber", FieldKind::List, IDC_IN_LIST, {}, number, 0},
      {"OutEndpointNumber", FieldKind::List, IDC_OUT_LIST, {}, number, 0},
      {"BurstLength", FieldKind::List, IDC_BURST_LIST, {}, number, 0},
      {"PollingInterval", FieldKind::ListByIndex, IDC_INTERVAL_LIST, {}, {}, 1},
      {"IsoPacketsPerInterval", FieldKind::List, IDC_ISO_PACKETS_LIST, {}, number, 0},
      {"Pattern", FieldKind::Radio, 0, {IDC_INCREMENTING, IDC_RANDOM, IDC_CONSTANT}, {}, 0},
      {"ConstantValue", FieldKind::Edit, IDC_CONSTANT_EDIT, {}, {}, 0},
      {"LoopbackLoad", FieldKind::Edit, IDC_LOAD_EDIT, {}, {}, 0},
      {"CheckBusErrors", FieldKind::Check, IDC_CHECK_BUS_ERRORS, {}, {}, 0},
      {"VerifyData", FieldKind::Check, IDC_VERIFY, {}, {}, 0},
      {"VerboseLogging", FieldKind::Check, IDC_VERBOSE, {}, {}, 0},
      {"TransferSizeIndex", FieldKind::ListByIndex, IDC_TRANSFER_SIZE_LIST, {}, {}, 0},
      {"QueueSizeIndex", FieldKind::ListByIndex, IDC_QUEUE_SIZE_LIST, {}, {}, 0},
  };
  return kFields;
}

const Field* FindField(const std::string& name) {
  for (const Field& field : Fields()) {
    if (name == field.Name) return &field;
  }
  return nullptr;
}

// The record printer: each record as the saved log's line, UTF-8, on standard output.
std::atomic<bool> g_printRecords{false};

void PrintRecord(const char16_t* text, uint32_t category, int64_t time) {
  if (!g_printRecords.load(std::memory_order_relaxed)) return;
  const std::string line = Narrow(LogLine(time, category, text)) + "\n";
  std::fwrite(line.data(), 1, line.size(), stdout);
}

const char16_t* ModeName(uint32_t mode) {
  switch (mode) {
    case TestConfigRecord::ReadThenWrite:
      return u"Read then Write";
    case TestConfigRecord::ReadOnly:
      return u"Read";
    case TestConfigRecord::WriteOnly:
      return u"Write";
    default:
      return u"Read and Write";
  }
}

}  // namespace

void CliError(const std::string& text) {
  std::fprintf(stderr, "tarnwick-cli: %s\n", text.c_str());
}

bool CanWriteFile(const std::string& path) {
  std::error_code ignored;
  const bool existed = std::filesystem::exists(path, ignored);
  {
    std::ofstream probe(path, std::ios::app);
    if (!probe) return false;
  }
  if (!existed) std::filesystem::remove(path, ignored);
  return true;
}

CliSession::CliSession(const CliOptions& options, ui::headless::HeadlessWindowSystem& system)
    : options_(options), system_(system) {
  system_.SetMessageBoxObserver([](const ui::headless::MessageBoxRecord& box) {
    std::fprintf(stderr, "%s: %s\n", Narrow(box.caption).c_str(), Narrow(box.text).c_str());
  });
  g_printRecords = PrintsRecords();
  SetLogRecordObserver(&PrintRecord);
}

CliSession::~CliSession() {
  SetLogRecordObserver(nullptr);
  g_printRecords = false;
  system_.SetMessageBoxObserver(nullptr);
  if (user_.joinable()) user_.join();
}

bool CliSession::PrintsRecords() const {
  return !options_.List && options_.Json != "-";
}

void CliSession::AddObservers(ShellCallTable& calls) {
  calls.RateLogged = [this](RateDirection direction, double mbps) {
    std::lock_guard lock(lock_);
    const std::chrono::duration<double> since = std::chrono::steady_clock::now() - runStart_;
    series_[direction].push_back({since.count(), mbps});
  };
  calls.ResultsWritten = [this](const RunFigures& figures) {
    std::lock_guard lock(lock_);
    figures_ = figures;
  };
}

void CliSession::Begin(ui::Window* mainWindow) {
  main_ = mainWindow;
  // The list as the scan filled it: the plug in use soon leaves it for its
  // re-enumeration and comes back at its end.
  scanned_ = ListItems(Control(IDC_DEVICE_LIST));
  // Marks the loop as running once it serves: only then may this thread wait for the
  // user-interface thread.
  system_.Post([this] { loopRunning_ = true; });
  user_ = std::thread([this] { Drive(); });
}

int CliSession::Finish() {
  if (user_.joinable()) user_.join();
  return status_;
}

void CliSession::WaitForLoop() {
  while (!loopRunning_) std::this_thread::sleep_for(kPollPeriod);
}

void CliSession::Drive() {
  WaitForLoop();
  status_ = Run();
  std::fflush(stdout);
  // The exit sequence, as the close box starts it, whatever state the window is in.
  system_.UserClose(main_);
}

int CliSession::Run() {
  for (const auto& [path, option] :
       {std::pair{&options_.SaveLog, "--save-log"}, std::pair{&options_.Json, "--json"},
        std::pair{&options_.Plot, "--plot"}}) {
    if (path->empty() || *path == "-") continue;
    if (!CanWriteFile(*path)) {
      CliError(std::string(option) + " " + *path + ": the file cannot be written");
      return CLI_EXIT_USAGE;
    }
  }
  if (options_.List) {
    for (const std::string& item : scanned_) std::printf("%s\n", item.c_str());
    return scanned_.empty() ? CLI_EXIT_NO_TEST : CLI_EXIT_PASS;
  }
  for (auto step : {&CliSession::SelectPlug, &CliSession::ChooseTest, &CliSession::ChooseConnection,
                    &CliSession::ApplySettings}) {
    if (const int status = (this->*step)(); status != CLI_EXIT_PASS) return status;
  }
  return StartAndWait();
}

CliSession::Readiness CliSession::WaitUntilReady() {
  const auto deadline = std::chrono::steady_clock::now() + kReadyTimeout;
  while (true) {
    bool connected = false;
    bool pending = false;
    // Both read on the user-interface thread, where they change together.
    system_.Invoke([&] {
      connected = PlugConnected;
      pending = ReenumerationPending;
    });
    if (connected && !pending) return Readiness::Ready;
    if (!pending) return Readiness::NotUsable;
    if (interrupted_) return Readiness::Interrupted;
    if (std::chrono::steady_clock::now() > deadline) return Readiness::TimedOut;
    std::this_thread::sleep_for(kPollPeriod);
  }
}

int CliSession::ReadyOrFail(const char* after) {
  switch (WaitUntilReady()) {
    case Readiness::Ready:
      return CLI_EXIT_PASS;
    case Readiness::NotUsable:
      CliError(std::string("the plug cannot be used ") + after);
      break;
    case Readiness::TimedOut:
      CliError(std::string("the plug did not come back ") + after);
      break;
    case Readiness::Interrupted:
      CliError("interrupted before the test started");
      break;
  }
  return CLI_EXIT_NO_TEST;
}

int CliSession::SelectPlug() {
  if (scanned_.empty()) {
    CliError("no plug found");
    return CLI_EXIT_NO_TEST;
  }
  // The first plug, chosen by the scan, is away for its re-enumeration: the list is
  // whole again once that has ended one way or the other.
  WaitUntilReady();
  ui::Window* list = Control(IDC_DEVICE_LIST);
  const std::vector<std::string> items = ListItems(list);
  if (items.empty()) {
    CliError("no plug found");
    return CLI_EXIT_NO_TEST;
  }
  if (!options_.Plug.empty()) {
    int32_t index = -1;
    std::vector<std::string> serials;
    for (int32_t i = 0; i < static_cast<int32_t>(items.size()); ++i) {
      serials.push_back(EntrySerial(list->ComboItemText(i)));
      if (serials.back() == options_.Plug && index < 0) index = i;
    }
    if (index < 0) {
      CliError("--plug " + options_.Plug + ": no such plug; found " + Join(serials));
      return CLI_EXIT_NO_TEST;
    }
    if (index != list->ComboSelection()) {
      system_.UserSelect(list, index);
      Flush();
    }
  }
  return ReadyOrFail("(see the messages above)");
}

int CliSession::ChooseTest() {
  if (!options_.Test) return CLI_EXIT_PASS;
  ui::Window* button =
      Control(*options_.Test == TestConfigRecord::Benchmark ? IDC_BENCHMARK : IDC_LOOPBACK);
  if (button->GetCheck() == ui::BST_CHECKED) return CLI_EXIT_PASS;
  system_.UserClick(button);
  Flush();
  return ReadyOrFail("after the test mode was changed");
}

int CliSession::ChooseConnection() {
  if (!options_.Connection) return CLI_EXIT_PASS;
  ui::Window* list = Control(IDC_CONNECTION_LIST);
  const int32_t index = list->ComboFind(ConnectionTypeNames[*options_.Connection]);
  if (index < 0) {
    CliError("--connection: the plug does not offer " +
             Narrow(ConnectionTypeNames[*options_.Connection]) + "; it offers " +
             Join(ListItems(list)));
    return CLI_EXIT_USAGE;
  }
  if (index == list->ComboSelection()) return CLI_EXIT_PASS;
  system_.UserSelect(list, index);
  Flush();
  return ReadyOrFail("after the connection type was changed");
}

CliSession::Verdict CliSession::ApplySetting(ui::Window* dialog, const CliSetting& setting,
                                             std::string& valid) {
  const Field& field = *FindField(setting.Name);
  const int32_t value = setting.Value;
  switch (field.Kind) {
    case FieldKind::Radio: {
      std::vector<std::string> offered;
      for (size_t v = 0; v < field.Buttons.size(); ++v) {
        if (Usable(dialog->Control(field.Buttons[v]))) offered.push_back(std::to_string(v));
      }
      valid = Join(offered);
      if (value < 0 || value >= static_cast<int32_t>(field.Buttons.size())) return Verdict::Refused;
      ui::Window* button = dialog->Control(field.Buttons[static_cast<size_t>(value)]);
      if (!Usable(button)) return Verdict::Refused;
      system_.UserClick(button);
      Flush();
      return button->GetCheck() == ui::BST_CHECKED ? Verdict::Accepted : Verdict::Refused;
    }
    case FieldKind::List:
    case FieldKind::ListByIndex: {
      ui::Window* list = dialog->Control(field.Control);
      int32_t index = -1;
      std::vector<std::string> offered;
      for (int32_t i = 0; i < list->ComboCount(); ++i) {
        const std::u16string item = list->ComboItemText(i);
        if (field.Kind == FieldKind::ListByIndex) {
          offered.push_back(std::to_string(i + field.First) + " (" + Narrow(item) + ")");
          if (i + field.First == value) index = i;
        } else {
          for (int32_t v = 0; v <= 16; ++v) {
            if (field.EntryText(v) == item) offered.push_back(std::to_string(v));
          }
          if (item == field.EntryText(value)) index = i;
        }
      }
      valid = Usable(list) ? Join(offered)
                           : "only the present value (" +
                                 Narrow(list->ComboItemText(list->ComboSelection())) +
                                 "): the dialog does not let it change now";
      if (index < 0) return Verdict::Refused;
      if (index == list->ComboSelection()) return Verdict::Accepted;
      if (!Usable(list)) return Verdict::Refused;
      system_.UserSelect(list, index);
      Flush();
      // The dialog may refill its lists; the entry chosen must still be the one asked for.
      const int32_t now = list->ComboSelection();
      if (field.Kind == FieldKind::ListByIndex) {
        return now == index ? Verdict::Accepted : Verdict::Refused;
      }
      return list->ComboItemText(now) == field.EntryText(value) ? Verdict::Accepted
                                                                : Verdict::Refused;
    }
    case FieldKind::Check: {
      ui::Window* box = dialog->Control(field.Control);
      const bool wanted = value != 0;
      const bool checked = box->GetCheck() == ui::BST_CHECKED;
      valid = Usable(box) ? "0 or 1"
                          : std::string("only ") + (checked ? "1" : "0") +
                                ": the dialog does not let it change now";
      if (wanted == checked) return Verdict::Accepted;
      if (!Usable(box)) return Verdict::Refused;
      system_.UserClick(box);
      Flush();
      return (box->GetCheck() == ui::BST_CHECKED) == wanted ? Verdict::Accepted : Verdict::Refused;
    }
    case FieldKind::Edit: {
      ui::Window* edit = dialog->Control(field.Control);
      const CliSettingInfo* info = FindCliSetting(setting.Name);
      valid = Usable(edit) ? std::string(info->Values)
                           : std::string("nothing: the dialog does not offer it for this test");
      if (!Usable(edit)) return Verdict::Refused;
      const std::u16string typed = Format16("%d", value);
      system_.UserType(edit, typed);
      system_.UserLeave(edit);
      Flush();
      return edit->GetText() == typed ? Verdict::Accepted : Verdict::Refused;
    }
  }
  return Verdict::Refused;
}

int CliSession::ApplySettings() {
  if (options_.Settings.empty()) return CLI_EXIT_PASS;
  system_.UserClick(Control(IDC_CONFIGURE));
  if (!system_.WaitForDialog("CONFBOX", kDialogWaitMs)) {
    CliError("the configuration dialog did not open");
    return CLI_EXIT_NO_TEST;
  }
  // The dialog exists before it is filled; once the queue has been served it is.
  Flush();
  ui::Window* dialog = system_.FindDialog("CONFBOX");
  for (const CliSetting& setting : options_.Settings) {
    std::string valid;
    if (ApplySetting(dialog, setting, valid) == Verdict::Accepted) continue;
    system_.UserClick(dialog->Control(IDC_CANCEL));
    Flush();
    CliError("--set " + setting.Argument +
             ": the configuration dialog refuses it; valid now: " + valid);
    return CLI_EXIT_USAGE;
  }
  system_.UserClick(dialog->Control(IDC_OK));
  Flush();
  return ReadyOrFail("after the configuration was changed");
}

int CliSession::StartAndWait() {
  Control(IDC_DURATION_EDIT)->SetText(Utf8ToUtf16(options_.Duration));
  {
    std::lock_guard lock(lock_);
    runStart_ = std::chrono::steady_clock::now();
  }
  system_.UserClick(Control(IDC_START));
  Flush();
  bool stopSent = false;
  while (EngineThreadsAlive() > 0) {
    if (interrupted_ && !stopSent) {
      // What the Stop button sends; it is not usable for the first seconds of a run.
      ui::Message stop;
      stop.kind = ui::MessageKind::Command;
      stop.id = IDC_STOP;
      main_->PostMessage(stop);
      stopSent = true;
    }
    std::this_thread::sleep_for(kPollPeriod);
  }
  Flush();
  bool ran = false;
  {
    std::lock_guard lock(lock_);
    ran = figures_.has_value();
  }
  if (!ran) {
    CliError("the test could not start (see the log above)");
    return CLI_EXIT_NO_TEST;
  }
  const bool errors = RunHadErrors();
  if (const int status = WriteOutputs(errors); status != CLI_EXIT_PASS) return status;
  return errors ? CLI_EXIT_RUN_ERRORS : CLI_EXIT_PASS;
}

bool CliSession::RunHadErrors() {
  bool connected = false;
  system_.Invoke([&] { connected = PlugConnected; });
  int64_t busErrors = 0;
  {
    std::lock_guard lock(lock_);
    if (figures_) busErrors = figures_->PhysicalLayerErrors + figures_->LinkLayerErrors;
  }
  return !connected || busErrors > 0 || TestStats.TotalErrors > 0 || TestStats.ReadErrors > 0 ||
         TestStats.WriteErrors > 0 || TestStats.VerificationErrors > 0 ||
         TestStats.PublishedErrorCount > 0;
}

RunReport CliSession::BuildReport(bool runHadErrors) {
  RunReport report;
  uint32_t mode = 0;
  uint32_t endpointType = 0;
  float theoretical = 0.0f;
  system_.Invoke([&] {
    report.Plug = CurrentPlugSerial;
    mode = TestConfig.BenchmarkMode;
    endpointType = TestConfig.EndpointType;
    theoretical = MaxTheoreticalRate();
  });
  std::lock_guard lock(lock_);
  const RunFigures& figures = *figures_;
  const bool benchmark = figures.TestMode == TestConfigRecord::Benchmark;
  report.Test = benchmark ? u"benchmark" : u"loopback";
  if (benchmark) report.Mode = ModeName(mode);
  report.EndpointType = endpointType == TestConfigRecord::Isochronous ? u"ISO" : u"BULK";
  report.Speed = static_cast<uint32_t>(TestStats.RunSpeed.load());
  report.StartTime = figures.StartTime;
  report.DurationSeconds = TestStats.ElapsedSeconds;
  report.TotalErrors = TestStats.TotalErrors;
  report.ReadErrors = TestStats.ReadErrors;
  report.WriteErrors = TestStats.WriteErrors;
  report.VerificationErrors = TestStats.VerificationErrors;
  report.PublishedErrors = TestStats.PublishedErrorCount;
  report.PhysicalLayerErrors = figures.PhysicalLayerErrors;
  report.LinkLayerErrors = figures.LinkLayerErrors;
  for (const auto& [direction, figure, name] :
       {std::tuple{RateDirection::Loopback, &figures.Loopback, u"loopback"},
        std::tuple{RateDirection::Read, &figures.Read, u"read"},
        std::tuple{RateDirection::Write, &figures.Write, u"write"}}) {
    if (!figure->Present) continue;
    DirectionRates rates;
    rates.Name = name;
    rates.MaxMbps = figure->MaxMbps;
    rates.MinMbps = figure->MinMbps;
    rates.AverageMbps = figure->AverageMbps;
    rates.Bytes = figure->Bytes;
    if (auto found = series_.find(direction); found != series_.end()) rates.Series = found->second;
    report.Operations += figure->Operations;
    report.Directions.push_back(std::move(rates));
  }
  report.AverageMbps = figures.AverageMbps;
  const float published = TestStats.TheoreticalMaxRate;
  report.TheoreticalMaxMbps = benchmark && published > 0.0f ? published : theoretical;
  report.Passed = !runHadErrors;
  return report;
}

int CliSession::WriteOutputs(bool runHadErrors) {
  int status = CLI_EXIT_PASS;
  if (!options_.SaveLog.empty()) {
    system_.ScriptSaveFileAnswer(Utf8ToUtf16(options_.SaveLog));
    // What the Save Log button sends; the button is off while the plug is away.
    ui::Message save;
    save.kind = ui::MessageKind::Command;
    save.id = IDC_SAVE_LOG;
    main_->SendMessage(save);
    if (!std::filesystem::exists(options_.SaveLog)) {
      CliError("--save-log " + options_.SaveLog + ": the log could not be written");
      status = CLI_EXIT_USAGE;
    }
  }
  if (options_.Json.empty() && options_.Plot.empty()) return status;
  const RunReport report = BuildReport(runHadErrors);
  auto write = [&](const std::string& option, const std::string& path, const std::string& text) {
    if (path.empty()) return;
    if (path == "-") {
      std::fwrite(text.data(), 1, text.size(), stdout);
      std::fflush(stdout);
      return;
    }
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << text;
    if (!file.flush()) {
      CliError(option + " " + path + ": the file could not be written");
      status = CLI_EXIT_USAGE;
    }
  };
  write("--json", options_.Json, RunReportJson(report));
  write("--plot", options_.Plot, RatePlotSvg(report));
  return status;
}
