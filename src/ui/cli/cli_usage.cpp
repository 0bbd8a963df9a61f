#include "ui/cli/cli_usage.h"

#include <string_view>
#include <vector>

#include "log/product_info.h"
#include "platform/text.h"
#include "ui/cli/cli_options.h"

namespace {

// A term and its description; the description is one paragraph.
struct Item {
  std::string Term;
  std::string Text;
};

struct Section {
  std::string Title;
  std::string Intro;  // a paragraph before the items (may be empty)
  std::vector<Item> Items;
  std::string Outro;      // a paragraph after them
  bool Verbatim = false;  // items are command lines, shown as they are
};

const char kName[] = "tarnwick-cli";
const char kSummary[] = "run the Tarnwick USB 3.0 loopback-plug tests without a window";

std::vector<std::string> Synopsis() {
  return {
      "tarnwick-cli [OPTIONS] [DEBUGMODE] [/S] [/L]",
      "tarnwick-cli --list [--simulate[=OPTIONS]] [--plug-id VID:PID]...",
      "tarnwick-cli --help | --version",
  };
}

std::vector<Section> Sections() {
  std::vector<Section> sections;
  sections.push_back(
      {"DESCRIPTION",
       "tarnwick-cli runs the very same tool as the desktop program over a window that is "
       "never shown. It selects a plug, waits until the plug is ready (every configuration "
       "change makes the plug leave the bus and come back), presses Start, lets the test run "
       "until the duration has passed or until SIGINT (Ctrl-C) or SIGTERM, which act as the "
       "Stop button, waits for the test to wind down, writes what was asked for and exits. "
       "Every event-log record is printed to standard output as it is added, in the line "
       "format of the saved log; every message the window would show goes to standard error "
       "as \"title: text\" and is answered with its default button. With --list, and with "
       "--json -, standard output carries only the list or the JSON.",
       {},
       "",
       false});
  sections.push_back(
      {"OPTIONS",
       "",
       {
           {"--simulate[=OPTIONS]",
            "Use simulated plugs instead of real ones. OPTIONS is a comma-separated list of "
            "key=value items, described under SIMULATION OPTIONS."},
           {"--plug-id VID:PID",
            "Also take USB devices with this vendor and product id (four hexadecimal digits "
            "each) for plugs. May be given more than once."},
           {"--list",
            "Print the Device list entries, one per line (\"SERIAL (SPEED)\"), and exit; exit "
            "status 3 when there is none."},
           {"--plug SERIAL", "Test the plug with this serial number (default: the first listed)."},
           {"--connection super|high|full", "Choose this Connection Type; the plug must offer it."},
           {"--test loopback|benchmark", "Press Loopback or Benchmark (default: loopback)."},
           {"--set NAME=VALUE",
            "Set one configuration field through the configuration dialog, with its rules, "
            "then press OK. May be given more than once; the fields are set in the order "
            "given. A value the dialog refuses or changes ends the program with status 2. "
            "The names are listed under CONFIGURATION FIELDS."},
           {"--duration MINUTES",
            "The Duration box: minutes as a plain number of at most 7 characters, fractions "
            "allowed (0.5 is thirty seconds). The run stops at the first one-second tick after "
            "the whole seconds of the limit have passed. 0, the default, runs until "
            "interrupted."},
           {"--save-log PATH", "Save the event log to PATH when the run ends."},
           {"--json PATH",
            "Write the run's results as JSON: test, mode, plug, speed, start time, duration, "
            "operations, every error counter, the maximum, minimum and average rates per "
            "direction with the series of per-block or per-line rates and their times, and "
            "PASS or FAIL. - writes to standard output."},
           {"--plot PATH.svg",
            "Draw the rate over time of each direction as an SVG picture, with the averages "
            "and the connection's theoretical maximum as lines."},
           {"DEBUGMODE",
            "Write the debug trace (the file is named in a message on standard "
            "error). Any letter case."},
           {"/S", "Show the Serial No. box; its text names log files saved with /L."},
           {"/L",
            "Save the event log at the end of every test, as YYYYMMDD-hhmmss.txt, in the "
            "program's folder, or where that cannot be written to (an installed program) in "
            "the documents folder, else the home folder."},
           {"--help", "Print this text and exit."},
           {"--version", "Print the version and exit."},
       },
       "Options that take a value accept it as the next argument or after \"=\".",
       false});

  Section fields{
      "CONFIGURATION FIELDS", "Names for --set, as in the test configuration:", {}, "", false};
  for (const CliSettingInfo& info : CliSettingNames())
    fields.Items.push_back({info.Name, info.Values});
  sections.push_back(fields);

  sections.push_back(
      {"SIMULATION OPTIONS",
       "Keys of --simulate=OPTIONS; a bad key or value is refused with a message that names "
       "it.",
       {
           {"plugs=N",
            "Number of plugs, 1 to 8; serials are PREFIX0001, PREFIX0002, ... "
            "(default 1)."},
           {"speed=super|high|full",
            "Fastest speed the port offers; a configuration can lower it, never raise it "
            "(default super)."},
           {"serial=PREFIX", "Serial prefix, 1 to 15 letters, digits, - or _ (default SIM)."},
           {"firmware=NN|none",
            "Firmware version, two digits: 23 is V2.3; none reports no version (default 23)."},
           {"rate=MBPS|unlimited",
            "Link rate in MB/s in both directions, 1 to 100000; unlimited completes each "
            "transfer at once (default: 440/400 MB/s at SuperSpeed, 42/40 at high speed, "
            "1.1/1.0 at full speed)."},
           {"reenum-ms=N",
            "Time off the bus after a configuration change, 0 to 600000 ms "
            "(default 300)."},
           {"seed=N", "Seed for the simulated drift and the corrupted positions (default 1)."},
           {"read-error-every=N, write-error-every=N", "Every Nth IN (OUT) transfer fails."},
           {"short-read-every=N", "Every Nth IN transfer ends at half its length."},
           {"corrupt-every=N, corrupt-bytes=K",
            "K bytes (1 to 65536, default 1) are flipped in every Nth IN transfer."},
           {"timeout-every=N",
            "Every Nth transfer in each direction never completes until cancelled."},
           {"read-timeout-every=N, write-timeout-every=N",
            "The same for IN (OUT) transfers alone."},
           {"stall-every=N",
            "Every Nth transfer in each direction stalls; the endpoint stays halted until "
            "reset."},
           {"read-stall-every=N, write-stall-every=N", "The same for IN (OUT) transfers alone."},
           {"phy-errors=N, link-errors=N",
            "Physical- and link-layer error counts reported at each bus-error check."},
           {"phy-flags=0x.., link-flags=0x..",
            "Error flags reported at each bus-error check (at most 0x1FF and 0x7FFF)."},
           {"remove-after-ms=N", "The plug is pulled out N ms after the start and stays away."},
           {"no-return", "After a configuration change the plug never comes back."},
           {"bad-config", "The plug reports a broken configuration descriptor."},
           {"bad-bos", "The plug reports a broken BOS descriptor."},
       },
       "The every-N faults count per plug and per direction, on the test endpoints only, and "
       "restart when the plug re-enumerates.",
       false});

  sections.push_back(
      {"EXIT STATUS",
       "",
       {
           {"0", "The run ended without errors (--list: at least one plug)."},
           {"1",
            "The run reported errors: failed, short or corrupted transfers, bus errors, "
            "or the plug went away."},
           {"2",
            "Bad usage, or a value the configuration dialog refuses; the message names "
            "the argument and what would be valid."},
           {"3",
            "No usable plug could be selected (none found, another copy of the tool uses "
            "it, it did not come back), or the test could not start."},
       },
       "",
       false});

  sections.push_back(
      {"EXAMPLES",
       "",
       {
           {"tarnwick-cli --simulate=plugs=2 --list", "Lists two simulated plugs."},
           {"tarnwick-cli --plug ABC123 --duration 10 --save-log ABC123.txt",
            "Ten minutes of loopback on a real plug, with the log saved at the end."},
           {"tarnwick-cli --simulate --test benchmark --set BenchmarkMode=3 \\\n"
            "      --set QueueSizeIndex=4 --duration 1 --json result.json --plot result.svg",
            "A one-minute two-way benchmark on a simulated plug, its results as JSON and as a "
            "picture."},
       },
       "",
       true});

  sections.push_back(
      {"FILES",
       "",
       {
           {"<program folder>/YYYYMMDD-hhmmss[-SERIAL].txt",
            "Logs saved with /L (the documents or home folder when the program's folder "
            "cannot be written to)."},
           {"<documents>/Quorvale/Tarnwick/TarnwickLog.txt", "The debug trace (DEBUGMODE)."},
           {"<program folder>/HTML/index.html", "The user's guide."},
       },
       "",
       false});
  return sections;
}

// Words of a paragraph filled into lines of at most `width` columns after `indent`.
std::string Fill(std::string_view text, size_t indent, size_t width) {
  std::string out;
  std::string line;
  size_t at = 0;
  while (at < text.size()) {
    const size_t end = std::min(text.find(' ', at), text.size());
    const std::string_view word = text.substr(at, end - at);
    at = end + 1;
    if (word.empty()) continue;
    if (!line.empty() && indent + line.size() + 1 + word.size() > width) {
      out += std::string(indent, ' ') + line + "\n";
      line.clear();
    }
    if (!line.empty()) line += ' ';
    line += word;
  }
  if (!line.empty()) out += std::string(indent, ' ') + line + "\n";
  return out;
}

// man(7) text: a leading dot or quote would be read as a request; backslashes and
// minus signs are escaped.
std::string Roff(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == '\\') {
      out += "\\e";
    } else if (c == '-') {
      out += "\\-";
    } else {
      out += c;
    }
  }
  if (!out.empty() && (out[0] == '.' || out[0] == '\'')) out.insert(0, "\\&");
  return out;
}

constexpr size_t kWidth = 80;
constexpr size_t kTextColumn = 24;

}  // namespace

std::string CliVersionText() {
  return std::string(kName) + " (" + Utf16ToUtf8(ProductMaker) + " " + Utf16ToUtf8(ProductName) +
         ") " + Utf16ToUtf8(ProductVersion) + ", build " + Utf16ToUtf8(ProductBuild);
}

std::string CliUsageText() {
  std::string out = std::string(kName) + " - " + kSummary + "\n\nUsage:\n";
  for (const std::string& line : Synopsis()) out += "  " + line + "\n";
  for (const Section& section : Sections()) {
    out += "\n" + section.Title + "\n";
    if (!section.Intro.empty()) out += Fill(section.Intro, 2, kWidth);
    for (const Item& item : section.Items) {
      if (section.Verbatim) {
        out += "  " + item.Term + "\n" + Fill(item.Text, 6, kWidth);
        continue;
      }
      std::string text = Fill(item.Text, kTextColumn, kWidth);
      if (item.Term.size() + 4 <= kTextColumn) {
        // A short term shares the first line of its description.
        text.replace(0, item.Term.size() + 2, "  " + item.Term);
        out += text;
      } else {
        out += "  " + item.Term + "\n" + text;
      }
    }
    if (!section.Outro.empty()) out += Fill(section.Outro, 2, kWidth);
  }
  return out;
}

std::string CliManPage() {
  std::string out = ".TH TARNWICK\\-CLI 1 \"\" \"" + Utf16ToUtf8(ProductName) + " " +
                    Utf16ToUtf8(ProductVersion) + "\" \"User Commands\"\n";
  out += ".SH NAME\n" + Roff(std::string(kName) + " - " + kSummary) + "\n";
  out += ".SH SYNOPSIS\n";
  for (const std::string& line : Synopsis()) out += ".br\n" + Roff(line) + "\n";
  for (const Section& section : Sections()) {
    out += ".SH " + section.Title + "\n";
    if (!section.Intro.empty()) out += Roff(section.Intro) + "\n";
    for (const Item& item : section.Items) {
      if (section.Verbatim) {
        out += ".PP\n" + Roff(item.Text) + "\n.IP\n.nf\n" + Roff(item.Term) + "\n.fi\n";
      } else {
        out += ".TP\n.B " + Roff(item.Term) + "\n" + Roff(item.Text) + "\n";
      }
    }
    if (!section.Outro.empty()) out += ".PP\n" + Roff(section.Outro) + "\n";
  }
  out += ".SH SEE ALSO\nThe user's guide, HTML/index.html beside the program.\n";
  return out;
}
