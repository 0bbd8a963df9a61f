// The user's guide as a reader and a browser meet it: well-formed pages without
// scripts, links that lead somewhere, every control and option of the tool explained,
// and the same pages beside the programs in the build.
#include <gtest/gtest.h>

#include <QRegularExpression>
#include <QXmlStreamReader>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "platform/text.h"
#include "res/control_ids.h"
#include "res/dialog_templates.h"
#include "sim/sim_options.h"

namespace {

namespace fs = std::filesystem;

struct Page {
  std::string text;                // all text, blanks collapsed
  std::set<std::string> ids;       // anchors
  std::vector<std::string> links;  // href and src values
  std::vector<std::string> problems;
};

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

Page ReadPage(const fs::path& path) {
  Page page;
  QXmlStreamReader reader(QByteArray::fromStdString(ReadFile(path)));
  QString text;
  bool titled = false;
  while (!reader.atEnd()) {
    reader.readNext();
    if (reader.isStartElement()) {
      const std::string name = reader.name().toString().toStdString();
      if (name == "script") page.problems.push_back("a script");
      if (name == "title") titled = true;
      for (const QXmlStreamAttribute& attribute : reader.attributes()) {
        const std::string key = attribute.name().toString().toStdString();
        const std::string value = attribute.value().toString().toStdString();
        if (key == "id") page.ids.insert(value);
        if (key == "href" || key == "src") page.links.push_back(value);
        if (key.rfind("on", 0) == 0) page.problems.push_back("a script in " + key);
      }
    } else if (reader.isCharacters()) {
      text += reader.text().toString() + u' ';
    }
  }
  if (reader.hasError())
    page.problems.push_back(reader.errorString().toStdString() + " at line " +
                            std::to_string(reader.lineNumber()));
  if (!titled) page.problems.push_back("no title");
  page.text = text.simplified().toStdString();
  return page;
}

class HelpPagesTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    pages_ = new std::map<std::string, Page>();
    for (const auto& entry : fs::directory_iterator(HELP_SOURCE_DIR)) {
      if (entry.path().extension() == ".html")
        (*pages_)[entry.path().filename().string()] = ReadPage(entry.path());
    }
  }
  static void TearDownTestSuite() {
    delete pages_;
    pages_ = nullptr;
  }
  static std::string AllText() {
    std::string all;
    for (const auto& [name, page] : *pages_) all += page.text + " ";
    return all;
  }
  static inline std::map<std::string, Page>* pages_ = nullptr;
};

TEST_F(HelpPagesTest, PagesAreWellFormedAndEveryLinkLeadsSomewhere) {
  ASSERT_TRUE(pages_->count("index.html"));
  for (const auto& [name, page] : *pages_) {
    for (const std::string& problem : page.problems) ADD_FAILURE() << name << ": " << problem;
  }
  // Every local link: the file exists, and an anchor names an id of that page.
  std::set<std::string> reached = {"index.html"};
  std::vector<std::string> queue = {"index.html"};
  while (!queue.empty()) {
    const std::string from = queue.back();
    queue.pop_back();
    for (const std::string& link : pages_->at(from).links) {
      if (link.find("://") != std::string::npos) continue;
      const size_t hash = link.find('#');
      const std::string file = hash == 0 ? from : link.substr(0, hash);
      if (!fs::exists(fs::path(HELP_SOURCE_DIR) / file)) {
        ADD_FAILURE() << from << " links to a missing " << file;
        continue;
      }
      if (hash != std::string::npos && hash + 1 < link.size()) {
        EXPECT_TRUE(pages_->count(file) && pages_->at(file).ids.count(link.substr(hash + 1)))
            << from << " links to a missing anchor " << link;
      }
      if (reached.insert(file).second && pages_->count(file)) queue.push_back(file);
    }
  }
  for (const auto& entry : fs::directory_iterator(HELP_SOURCE_DIR)) {
    EXPECT_TRUE(reached.count(entry.path().filename().string()))
        << entry.path().filename() << " cannot be reached from index.html";
  }
}

TEST_F(HelpPagesTest, GuideExplainsEveryControlSwitchAndSimulationKey) {
  const std::string text = AllText();
  auto explained = [&](const std::string& term) {
    EXPECT_NE(text.find(term), std::string::npos) << "the guide never mentions " << term;
  };
  // Every labelled control of the configuration dialog and every button of the main window.
  for (const char* name : {"CONFBOX", "TARNWICK"}) {
    for (const res::ControlTemplate& control : res::FindDialogTemplate(name)->controls) {
      const bool worded = control.controlClass != ui::ControlClass::Edit &&
                          control.controlClass != ui::ControlClass::ComboBox &&
                          control.text.size() > 1;
      if (worded) explained(Utf16ToUtf8(control.text));
    }
  }
  for (const char* term : {"DEBUGMODE", "/S", "/L", "--simulate", "--plug-id", "tarnwick-cli",
                           "--list", "--plug SERIAL", "--connection", "--test", "--set",
                           "--duration", "--save-log", "--json", "--plot", "--help", "--version"})
    explained(term);
  const std::string keys = Utf16ToUtf8(SimOptionKeyList());
  const QStringList keyList =
      QString::fromStdString(keys).split(QRegularExpression("[,\\s]+"), Qt::SkipEmptyParts);
  EXPECT_GT(keyList.size(), 10);
  for (const QString& key : keyList) explained(key.toStdString());
}

TEST_F(HelpPagesTest, BuildPutsTheSamePagesBesideThePrograms) {
  for (const auto& entry : fs::recursive_directory_iterator(HELP_SOURCE_DIR)) {
    if (!entry.is_regular_file()) continue;
    const fs::path copy = fs::path(HELP_BUILD_DIR) / fs::relative(entry.path(), HELP_SOURCE_DIR);
    ASSERT_TRUE(fs::exists(copy)) << copy;
    EXPECT_EQ(ReadFile(copy), ReadFile(entry.path())) << copy << " is stale";
  }
}

}  // namespace
