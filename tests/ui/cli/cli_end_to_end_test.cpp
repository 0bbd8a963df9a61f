// The built tarnwick-cli as a user runs it over simulated plugs. Runs end by a short
// duration, or by a signal once the records show the run under way.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QXmlStreamReader>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>

#include "cli_process.h"

using ::testing::HasSubstr;

namespace {

namespace fs = std::filesystem;

// Re-enumerations come back at once; the plugs are otherwise the default ones.
constexpr char kQuick[] = "--simulate=reenum-ms=5";

// "<calendar>: <category>- <text>", the saved log's line.
const std::regex kRecordLine(
    "[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4}: "
    "(Information|Loopback   |Benchmark  |ERROR      |Diagnostics|File op\\.   |Results    |"
    "Minor Error|PASS       )- .*");

std::string TextOf(const std::string& line) {
  const size_t at = line.find("- ", 26);
  return at == std::string::npos ? line : line.substr(at + 2);
}

bool HasText(const std::vector<std::string>& lines, const std::string& text) {
  return std::any_of(lines.begin(), lines.end(),
                     [&](const std::string& line) { return TextOf(line) == text; });
}

// The result block's lines, from its title to the end of the run.
std::vector<std::string> Block(const std::vector<std::string>& lines, const std::string& title) {
  std::vector<std::string> block;
  bool in = false;
  for (const std::string& line : lines) {
    const std::string text = TextOf(line);
    in = in || text == title;
    if (in) block.push_back(text);
  }
  return block;
}

// The Mb/s figure of the block line that starts with label; NaN when there is none.
double Figure(const std::vector<std::string>& block, const std::string& label) {
  for (const std::string& text : block) {
    if (text.rfind(label, 0) == 0) return std::stod(text.substr(label.size()));
  }
  return std::nan("");
}

std::string ReadFile(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

QJsonObject ParseJson(const std::string& text) {
  QJsonParseError error;
  const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(text), &error);
  EXPECT_EQ(error.error, QJsonParseError::NoError) << error.errorString().toStdString() << text;
  return document.object();
}

// The rate lines of the picture, by direction; empty when it is not well-formed.
std::map<std::string, int> Polylines(const std::string& svg) {
  QXmlStreamReader reader(QByteArray::fromStdString(svg));
  std::map<std::string, int> lines;
  bool root = false;
  while (!reader.atEnd()) {
    reader.readNext();
    if (!reader.isStartElement()) continue;
    if (!root) {
      EXPECT_EQ(reader.name().toString(), "svg");
      root = true;
    }
    if (reader.name().toString() == "polyline") {
      ++lines[reader.attributes().value("data-direction").toString().toStdString()];
    }
  }
  EXPECT_FALSE(reader.hasError()) << reader.errorString().toStdString();
  return reader.hasError() ? std::map<std::string, int>{} : lines;
}

class CliEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    folder_ = fs::temp_directory_path() / ("tarnwick-cli-" + std::to_string(getpid()) + name);
    fs::create_directories(folder_);
    setenv("TARNWICK_REGISTRY_PREFIX", ("cli" + std::to_string(getpid()) + name).c_str(), 1);
    setenv("XDG_DOCUMENTS_DIR", folder_.c_str(), 1);
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
  }
  std::string Path(const std::string& name) { return (folder_ / name).string(); }

  fs::path folder_;
};

}  // namespace

TEST_F(CliEndToEnd, ListPrintsEveryPlugAndNothingElse) {
  CliProcess two({"--simulate=plugs=2,speed=high,serial=LINE-A", "--list"});
  EXPECT_EQ(two.Wait(), 0) << two.Err();
  EXPECT_EQ(two.Out(), "LINE-A0001 (HighSpeed 480Mb/s)\nLINE-A0002 (HighSpeed 480Mb/s)\n");
  EXPECT_EQ(two.Err(), "");

  // A plug whose descriptors cannot be read is not listed: none at all.
  CliProcess none({"--simulate=bad-config", "--list"});
  EXPECT_EQ(none.Wait(), 3);
  EXPECT_EQ(none.Out(), "");
  EXPECT_THAT(none.Err(), HasSubstr("Wrong Device Configuration"));
}

TEST_F(CliEndToEnd, AShortLoopbackPassesPrintsEveryRecordAndSavesTheSameLines) {
  const std::string log = Path("run.txt");
  CliProcess run({kQuick, "--duration", "0.02", "--save-log", log});
  ASSERT_EQ(run.Wait(), 0) << run.Err();
  EXPECT_EQ(run.Err(), "");
  const std::vector<std::string> lines = run.Lines();
  ASSERT_FALSE(lines.empty());
  for (const std::string& line : lines) EXPECT_TRUE(std::regex_match(line, kRecordLine)) << line;
  EXPECT_EQ(TextOf(lines[0]), "Quorvale Tarnwick V2.0 1009");
  const std::vector<std::string> block = Block(lines, "RESULTS:");
  ASSERT_GE(block.size(), 8u);
  EXPECT_THAT(lines[lines.size() - block.size()], HasSubstr(": PASS       - RESULTS:"));
  EXPECT_EQ(block.back(), "END OF USB LOOPBACK TEST");
  // The run lasted past its one-second limit, and no longer than the next tick.
  EXPECT_THAT(block, ::testing::Contains(::testing::MatchesRegex("Duration: 000h 00m 0[12]s")));

  // The saved log holds the very lines printed, in the same order.
  std::vector<std::string> saved;
  std::stringstream file(ReadFile(log));
  for (std::string line; std::getline(file, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (std::regex_match(line, kRecordLine)) saved.push_back(line);
  }
  ASSERT_FALSE(saved.empty());
  saved.resize(std::min(lines.size(), saved.size()));
  EXPECT_TRUE(std::equal(saved.begin(), saved.end(), lines.begin()));
}

TEST_F(CliEndToEnd, EveryBenchmarkModeStopsOnSigintWithItsResultsAsJsonAndPicture) {
  const struct {
    int mode;
    const char* modeLine;
    const char* modeName;
    std::vector<std::string> directions;
  } cases[] = {
      {0, "READING & WRITING FROM USB DEVICE", "Read then Write", {"read", "write"}},
      {1, "READING FROM USB DEVICE", "Read", {"read"}},
      {2, "WRITING TO USB DEVICE", "Write", {"write"}},
      {3, "READING & WRITING FROM USB DEVICE", "Read and Write", {"read", "write"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.modeName);
    const std::string json = Path("run.json");
    const std::string svg = Path("run.svg");
    CliProcess run({kQuick, "--test", "benchmark", "--set",
                    "BenchmarkMode=" + std::to_string(c.mode), "--set", "TransferSizeIndex=0",
                    "--json", json, "--plot", svg});
    // Two blocks of each direction the mode moves, then Ctrl-C.
    ASSERT_TRUE(run.WaitForLine([&](const std::string&) {
      for (const std::string& direction : c.directions) {
        const std::string prefix = direction == "read" ? "- Read block " : "- Write block ";
        if (run.CountLines(prefix) < 2) return false;
      }
      return true;
    })) << run.Err();
    run.Signal(SIGINT);
    ASSERT_EQ(run.Wait(), 0) << run.Err();
    const std::vector<std::string> lines = run.Lines();
    EXPECT_TRUE(HasText(lines, c.modeLine));
    const std::vector<std::string> block = Block(lines, "OVERALL BENCHMARK RESULT:");
    ASSERT_GE(block.size(), 4u) << run.Out();

    const QJsonObject report = ParseJson(ReadFile(json));
    EXPECT_EQ(report["mode"].toString(), c.modeName);
    EXPECT_EQ(report["result"].toString(), "PASS");
    const QJsonArray directions = report["directions"].toArray();
    ASSERT_EQ(static_cast<size_t>(directions.size()), c.directions.size());
    int blocks = 0;
    for (qsizetype i = 0; i < directions.size(); ++i) {
      const QJsonObject direction = directions[i].toObject();
      const std::string name = direction["name"].toString().toStdString();
      EXPECT_EQ(name, c.directions[static_cast<size_t>(i)]);
      const std::string side = name == "read" ? "Read" : "Write";
      // The figures are the result block's, to the block's precision.
      EXPECT_NEAR(direction["max_mbps"].toDouble(),
                  Figure(block, "Maximum " + side + " Data Rate: "), 0.051);
      EXPECT_NEAR(direction["average_mbps"].toDouble(),
                  Figure(block, "Average " + side + " Data Rate: "), 0.051);
      if (direction["min_mbps"].isDouble()) {
        EXPECT_NEAR(direction["min_mbps"].toDouble(),
                    Figure(block, "Minimum " + side + " Data Rate: "), 0.051);
      }
      // One sample per block line.
      const QJsonArray series = direction["series"].toArray();
      EXPECT_EQ(series.size(), run.CountLines("- " + side + " block "));
      blocks += static_cast<int>(series.size());
    }
    EXPECT_EQ(report["operations"].toInt(), blocks);
    if (c.directions.size() == 2) {
      EXPECT_NEAR(report["average_mbps"].toDouble(), Figure(block, "Average Data Rate: "), 0.051);
    } else {
      EXPECT_TRUE(report["average_mbps"].isNull());
    }

    std::map<std::string, int> expected;
    for (const std::string& direction : c.directions) expected[direction] = 1;
    EXPECT_EQ(Polylines(ReadFile(svg)), expected);
  }
}

TEST_F(CliEndToEnd, InjectedReadErrorsEndWithStatusOneAndAFailedReport) {
  const std::string json = Path("run.json");
  CliProcess run(
      {"--simulate=reenum-ms=5,read-error-every=4", "--duration", "0.02", "--json", json});
  EXPECT_EQ(run.Wait(), 1) << run.Err();
  const std::vector<std::string> block = Block(run.Lines(), "RESULTS:");
  ASSERT_FALSE(block.empty()) << run.Out();
  EXPECT_THAT(run.Out(), HasSubstr(": ERROR      - RESULTS:"));
  const QJsonObject report = ParseJson(ReadFile(json));
  EXPECT_EQ(report["result"].toString(), "FAIL");
  EXPECT_GT(report["errors"].toObject()["read"].toInt(), 0);
  const QJsonObject loopback = report["directions"].toArray()[0].toObject();
  EXPECT_EQ(loopback["name"].toString(), "loopback");
  EXPECT_NEAR(loopback["max_mbps"].toDouble(), Figure(block, "Maximum Data Rate: "), 0.051);
  EXPECT_EQ(std::to_string(report["operations"].toInt()) + " operations.",
            *std::find_if(block.begin(), block.end(), [](const std::string& text) {
              return text.find(" operations.") != std::string::npos;
            }));
}

TEST_F(CliEndToEnd, APlugThatCannotBeUsedOrAValueTheDialogRefusesEndsTheRun) {
  CliProcess firmware({"--simulate=firmware=none", "--duration", "0.02"});
  EXPECT_EQ(firmware.Wait(), 3);
  EXPECT_THAT(firmware.Err(), HasSubstr("tarnwick-cli: the plug cannot be used"));
  EXPECT_FALSE(HasText(firmware.Lines(), "START OF USB TEST_LOOPBACK TEST"));

  const struct {
    std::vector<std::string> arguments;
    std::vector<std::string> said;
  } refused[] = {
      {{kQuick, "--set", "InEndpointNumber=7"},
       {"--set InEndpointNumber=7", "valid now: 1, 2, 3, 4, 5, 6, 8, 9"}},
      {{kQuick, "--set", "ConstantValue=300"},
       {"Tarnwick Error: The constant test pattern value must be between 0 and 255.",
        "--set ConstantValue=300", "0 to 255"}},
      {{kQuick, "--set", "LoopbackLoad=250"}, {"--set LoopbackLoad=250", "1 to 100"}},
      {{kQuick, "--set", "BenchmarkMode=1"}, {"--set BenchmarkMode=1", "valid now: none"}},
      {{kQuick, "--test", "benchmark", "--set", "EndpointType=1", "--set", "BenchmarkMode=3"},
       {"ISO mode warning", "--set BenchmarkMode=3", "valid now: 1, 2"}},
      {{"--simulate=speed=high,reenum-ms=5", "--connection", "super"},
       {"--connection", "SuperSpeed 5Gb/s", "HighSpeed 480Mb/s, FullSpeed 12Mb/s"}},
      {{kQuick, "--duration", "soon"}, {"--duration soon"}},
      {{"--simulate=plugs=0"}, {"--simulate", "plugs"}},
      {{"--frobnicate"}, {"\"--frobnicate\""}},
  };
  for (const auto& c : refused) {
    SCOPED_TRACE(::testing::PrintToString(c.arguments));
    CliProcess run(c.arguments);
    EXPECT_EQ(run.Wait(), 2);
    for (const std::string& words : c.said) EXPECT_THAT(run.Err(), HasSubstr(words));
    EXPECT_FALSE(HasText(run.Lines(), "START OF USB TEST_LOOPBACK TEST"));
  }
}

TEST_F(CliEndToEnd, SlashLSavesADatedLogInTheProgramFolder) {
  const fs::path program = folder_ / "tarnwick-cli";
  fs::copy_file(TARNWICK_CLI, program);
  CliProcess run({kQuick, "/l", "--duration", "0.02"}, program.string());
  ASSERT_EQ(run.Wait(), 0) << run.Err();
  std::vector<fs::path> logs;
  for (const auto& entry : fs::directory_iterator(folder_)) {
    if (std::regex_match(entry.path().filename().string(), std::regex("[0-9]{8}-[0-9]{6}\\.txt")))
      logs.push_back(entry.path());
  }
  ASSERT_EQ(logs.size(), 1u);
  const std::string saved = ReadFile(logs[0]);
  EXPECT_EQ(saved.rfind("QUORVALE Tarnwick Log file\r\n", 0), 0u);
  EXPECT_THAT(saved, HasSubstr("Loopback   - END OF USB LOOPBACK TEST\r\n"));
}

TEST_F(CliEndToEnd, ASecondCopyIsRefusedThePlugTheFirstIsTesting) {
  CliProcess first({kQuick});
  ASSERT_TRUE(first.WaitForLine([](const std::string& line) {
    return TextOf(line) == "START OF USB TEST_LOOPBACK TEST";
  })) << first.Err();
  CliProcess second({kQuick, "--duration", "0.02"});
  EXPECT_EQ(second.Wait(), 3);
  EXPECT_THAT(second.Err(), HasSubstr("Plug already in use: Another copy of Tarnwick is already "
                                      "using that plug."));
  EXPECT_FALSE(HasText(second.Lines(), "START OF USB TEST_LOOPBACK TEST"));
  // The first runs on until it is interrupted, and ends clean.
  EXPECT_EQ(first.CountLines("RESULTS:"), 0);
  first.Signal(SIGTERM);
  EXPECT_EQ(first.Wait(), 0) << first.Err();
  EXPECT_THAT(first.Out(), HasSubstr(": PASS       - RESULTS:"));
}
