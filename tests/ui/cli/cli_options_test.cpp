// tarnwick-cli's command line and its usage page: what is accepted, what is refused
// with which words, and that the page (and the man page made from it) documents what
// the program takes.
#include "ui/cli/cli_options.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <set>
#include <sstream>

#include "engines/configuration.h"
#include "platform/text.h"
#include "sim/sim_options.h"
#include "ui/cli/cli_usage.h"

using ::testing::HasSubstr;

namespace {

CliOptions Parse(std::vector<std::string> arguments) {
  CliOptions options;
  std::string error;
  EXPECT_TRUE(ParseCliOptions(arguments, options, error)) << error;
  return options;
}

std::string Refusal(std::vector<std::string> arguments) {
  CliOptions options;
  std::string error;
  EXPECT_FALSE(ParseCliOptions(arguments, options, error));
  return error;
}

}  // namespace

TEST(CliOptionsTest, ValuesComeAsTheNextArgumentOrAfterAnEqualsSign) {
  const CliOptions a = Parse({"--simulate=plugs=2,speed=high", "--plug", "SIM0002", "--test",
                              "benchmark", "--connection=high", "--set", "BenchmarkMode=3",
                              "--set=QueueSizeIndex=4", "--duration", "0.5", "--save-log", "a.txt",
                              "--json=-", "--plot", "p.svg", "--plug-id", "1209:0B01"});
  EXPECT_TRUE(a.Program.Simulate);
  EXPECT_EQ(a.Program.SimOptions, "plugs=2,speed=high");
  EXPECT_EQ(a.Plug, "SIM0002");
  EXPECT_EQ(a.Test, TestConfigRecord::Benchmark);
  EXPECT_EQ(a.Connection, TestConfigRecord::HighSpeed);
  ASSERT_EQ(a.Settings.size(), 2u);
  EXPECT_EQ(a.Settings[0].Name, "BenchmarkMode");
  EXPECT_EQ(a.Settings[0].Value, 3);
  EXPECT_EQ(a.Settings[1].Name, "QueueSizeIndex");
  EXPECT_EQ(a.Settings[1].Argument, "QueueSizeIndex=4");
  EXPECT_EQ(a.Duration, "0.5");
  EXPECT_EQ(a.SaveLog, "a.txt");
  EXPECT_EQ(a.Json, "-");
  EXPECT_EQ(a.Plot, "p.svg");
  ASSERT_EQ(a.Program.PlugIds.size(), 1u);
  EXPECT_EQ(a.Program.PlugIds[0], (PlugId{0x1209, 0x0B01}));

  // The shell's own switches pass through in order, in any letter case.
  const CliOptions b = Parse({"/l", "--list", "DebugMode", "/S", "--simulate"});
  EXPECT_EQ(b.ShellArguments, (std::vector<std::string>{"/l", "DebugMode", "/S"}));
  EXPECT_TRUE(b.List);
  EXPECT_TRUE(b.Program.Simulate);
  EXPECT_TRUE(b.Program.SimOptions.empty());
  // Defaults.
  EXPECT_EQ(b.Duration, "0");
  EXPECT_FALSE(b.Test.has_value());
  EXPECT_FALSE(b.Connection.has_value());
  // Whether a --set value is allowed is the dialog's to say, not the parser's.
  EXPECT_EQ(Parse({"--set", "InEndpointNumber=7"}).Settings[0].Value, 7);
  EXPECT_EQ(Parse({"--set", "LoopbackLoad=-5"}).Settings[0].Value, -5);
}

TEST(CliOptionsTest, RefusalsNameTheArgumentAndWhatIsValid) {
  const struct {
    std::vector<std::string> arguments;
    std::vector<std::string> said;
  } cases[] = {
      {{"--bogus"}, {"\"--bogus\"", "--help"}},
      {{"SIM0001"}, {"\"SIM0001\""}},
      {{"--plug"}, {"--plug", "missing SERIAL"}},
      {{"--plug="}, {"--plug", "empty"}},
      {{"--connection", "ultra"}, {"--connection ultra", "super, high or full"}},
      {{"--test", "soak"}, {"--test soak", "loopback or benchmark"}},
      {{"--set", "Burst=3"}, {"--set Burst=3", "\"Burst\"", "BurstLength", "QueueSizeIndex"}},
      {{"--set", "BurstLength"}, {"--set BurstLength", "NAME=VALUE"}},
      {{"--set", "BurstLength=two"}, {"--set BurstLength=two", "whole number", "1 to 16"}},
      {{"--set", "Pattern=99999999999"}, {"Pattern=99999999999", "whole number"}},
      {{"--duration", "1e3"}, {"--duration 1e3", "plain number", "0 (no limit)"}},
      {{"--duration", "12345678"}, {"--duration 12345678", "at most 7 characters"}},
      {{"--duration", "-1"}, {"--duration -1"}},
      {{"--json"}, {"--json", "missing PATH"}},
      {{"--save-log="}, {"--save-log", "empty"}},
      {{"--list=yes"}, {"--list", "takes no value"}},
      {{"--plug-id", "12:34"}, {"--plug-id", "\"12:34\"", "VID:PID", "four hexadecimal digits"}},
      {{"--plug-id"}, {"--plug-id", "missing VID:PID"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.arguments));
    const std::string error = Refusal(c.arguments);
    for (const std::string& words : c.said) EXPECT_THAT(error, HasSubstr(words));
  }
}

TEST(CliUsageTest, TheUsageDocumentsWhatTheProgramTakes) {
  const std::string usage = CliUsageText();
  // Every option the page names is one the parser knows.
  std::set<std::string> named;
  const std::regex option("--[a-z][a-z-]*");
  for (auto it = std::sregex_iterator(usage.begin(), usage.end(), option);
       it != std::sregex_iterator(); ++it) {
    named.insert(it->str());
  }
  for (const std::string& name : named) {
    CliOptions options;
    std::string error;
    ParseCliOptions({name}, options, error);
    EXPECT_THAT(error, ::testing::Not(HasSubstr("unknown argument"))) << name;
  }
  // And it names every option the program has.
  for (const char* name :
       {"--simulate", "--plug-id", "--list", "--plug", "--connection", "--test", "--set",
        "--duration", "--save-log", "--json", "--plot", "--help", "--version"}) {
    EXPECT_TRUE(named.count(name)) << name;
  }
  for (const char* word : {"DEBUGMODE", "/S", "/L", "EXIT STATUS", "EXAMPLES"}) {
    EXPECT_THAT(usage, HasSubstr(word));
  }
  for (const CliSettingInfo& info : CliSettingNames()) EXPECT_THAT(usage, HasSubstr(info.Name));
  // Every simulation key the option parser takes.
  std::stringstream keys(Utf16ToUtf8(SimOptionKeyList()));
  for (std::string key; std::getline(keys, key, ',');) {
    key.erase(0, key.find_first_not_of(' '));
    EXPECT_TRUE(std::regex_search(usage, std::regex("(^|[ ,])" + key + "(=|,| |\n)"))) << key;
  }
  const std::string statuses = usage.substr(usage.find("EXIT STATUS"));
  for (const char* status : {"\n  0 ", "\n  1 ", "\n  2 ", "\n  3 "})
    EXPECT_THAT(statuses, HasSubstr(status));
  std::stringstream lines(usage);
  for (std::string line; std::getline(lines, line);) EXPECT_LE(line.size(), 100u) << line;
}

TEST(CliUsageTest, TheManPageIsTheSamePageAndTheBuildWroteIt) {
  const std::string man = CliManPage();
  EXPECT_EQ(man.rfind(".TH TARNWICK\\-CLI 1 ", 0), 0u);
  for (const char* section : {".SH NAME\n", ".SH SYNOPSIS\n", ".SH OPTIONS\n", ".SH EXIT STATUS\n",
                              ".SH EXAMPLES\n", ".SH SIMULATION OPTIONS\n"}) {
    EXPECT_THAT(man, HasSubstr(section));
  }
  // No line would be taken for a request it is not.
  std::stringstream lines(man);
  for (std::string line; std::getline(lines, line);) {
    if (line.empty()) continue;
    if (line[0] == '.') {
      EXPECT_TRUE(std::regex_match(line, std::regex("\\.(TH|SH|TP|PP|IP|B|br|nf|fi)( .*)?")))
          << line;
    }
    EXPECT_NE(line[0], '\'') << line;
  }
  EXPECT_THAT(man, HasSubstr("\\-\\-save\\-log PATH"));  // minus signs escaped
  std::ifstream built(TARNWICK_CLI_MAN, std::ios::binary);
  ASSERT_TRUE(built) << TARNWICK_CLI_MAN;
  std::stringstream content;
  content << built.rdbuf();
  EXPECT_EQ(content.str(), man);
}
