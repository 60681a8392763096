#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "app/startup_options.h"
#include "platform/data_folder.h"

namespace tessvark {
namespace {

using Environment = std::map<std::string, std::string>;

EnvironmentLookup LookupIn(const Environment& environment) {
  return [&environment](const char* name) -> const char* {
    const auto found = environment.find(name);
    return found == environment.end() ? nullptr : found->second.c_str();
  };
}

TEST(DataFolderTest, FollowsLocalAppDataThenXdgThenHome) {
  struct Case {
    Environment environment;
    std::string expected;
  };
  const Case cases[] = {
      {{{"LOCALAPPDATA", "/l"}, {"XDG_DATA_HOME", "/x"}, {"HOME", "/h"}},
       "/l/Tessvark Unified Native"},
      {{{"LOCALAPPDATA", ""}, {"XDG_DATA_HOME", "/x"}, {"HOME", "/h"}},
       "/x/Tessvark Unified Native"},
      {{{"XDG_DATA_HOME", ""}, {"HOME", "/h"}}, "/h/.local/share/Tessvark Unified Native"},
      {{{"XDG_DATA_HOME", "data"}, {"HOME", "/h"}}, "/h/.local/share/Tessvark Unified Native"},
      {{{"HOME", ""}}, ""},
      {{}, ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ProgramDataFolder(LookupIn(c.environment)), c.expected);
  }
}

TEST(StartupOptionsTest, HostValuesProgramFolderAndEnvironment) {
  const Environment environment = {{"LOCALAPPDATA", "/data"}};
  const HostStartup startup = MakeHostStartup("/opt/tessvark", LookupIn(environment));
  EXPECT_EQ(startup.options.host, "127.0.0.1");
  EXPECT_EQ(startup.options.port, 28790);
  EXPECT_EQ(startup.options.port_attempts, 10);
  EXPECT_EQ(startup.options.ui_root, "/opt/tessvark/resources/ui");
  EXPECT_EQ(startup.options.sports_catalog_path, "/opt/tessvark/resources/sports-catalog.json");
  EXPECT_EQ(startup.options.data_dir, "/data/Tessvark Unified Native");
  EXPECT_TRUE(startup.open_browser);
  EXPECT_EQ(startup.options.max_body_bytes, 1048576u);
  EXPECT_EQ(startup.options.max_event_streams, 8);
}

TEST(StartupOptionsTest, UnknownProgramFolderAndBrowserSwitch) {
  const Environment environment = {{"TESSVARK_NO_BROWSER", ""}};
  const HostStartup startup = MakeHostStartup("", LookupIn(environment));
  EXPECT_EQ(startup.options.ui_root, "resources/ui");
  EXPECT_EQ(startup.options.sports_catalog_path, "");
  EXPECT_EQ(startup.options.data_dir, "");
  EXPECT_FALSE(startup.open_browser) << "an empty TESSVARK_NO_BROWSER still counts as set";
}

TEST(StartupOptionsTest, CommandLines) {
  struct Case {
    std::vector<std::string> arguments;
    bool accepted;
    std::string ui_root;
    std::int32_t port;
    std::string data_dir;
    bool open_browser;
  };
  const std::string ui = "/p/resources/ui";
  const std::string data = "/l/Tessvark Unified Native";
  const Case cases[] = {
      {{}, true, ui, 28790, data, true},
      {{"--no-browser"}, true, ui, 28790, data, false},
      {{"--ui", "/web"}, true, "/web", 28790, data, true},
      {{"--config", "/c1", "--config", "/c2"}, true, ui, 28790, "/c2", true},
      {{"--preferred", "28800abc"}, true, ui, 28800, data, true},
      {{"--preferred", "  -5"}, true, ui, -5, data, true},
      {{"--preferred", "+0"}, true, ui, 0, data, true},
      {{"--preferred", "1", "--preferred", "2"}, true, ui, 2, data, true},
      {{"--ui"}, false, "", 0, "", true},
      {{"--preferred"}, false, "", 0, "", true},
      {{"--config"}, false, "", 0, "", true},
      {{"--no-browser", "--config"}, false, "", 0, "", true},
      {{"--help"}, false, "", 0, "", true},
      {{"--NO-BROWSER"}, false, "", 0, "", true},
      {{"--no-browser=1"}, false, "", 0, "", true},
      {{"extra"}, false, "", 0, "", true},
      {{"--preferred", "abc"}, false, "", 0, "", true},
      {{"--preferred", "2147483648"}, false, "", 0, "", true},
  };
  const Environment environment = {{"LOCALAPPDATA", "/l"}};
  for (const Case& c : cases) {
    HostStartup startup = MakeHostStartup("/p", LookupIn(environment));
    const bool accepted = ApplyCommandLine(c.arguments, startup);
    const std::string shown = ::testing::PrintToString(c.arguments);
    ASSERT_EQ(accepted, c.accepted) << shown;
    if (!accepted) continue;
    EXPECT_EQ(startup.options.ui_root, c.ui_root) << shown;
    EXPECT_EQ(startup.options.port, c.port) << shown;
    EXPECT_EQ(startup.options.data_dir, c.data_dir) << shown;
    EXPECT_EQ(startup.open_browser, c.open_browser) << shown;
    EXPECT_EQ(startup.options.sports_catalog_path, "/p/resources/sports-catalog.json") << shown;
  }
}

}  // namespace
}  // namespace tessvark
