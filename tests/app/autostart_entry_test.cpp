#include "app/autostart_entry.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/child_process.h"
#include "support/test_env.h"

namespace caskel {
namespace {

TEST(AutostartEntry, ExecArgumentIsQuotedAndEscapedTwiceOnlyWhenNeeded) {
  const std::pair<std::string, std::string> cases[] = {
      {"/usr/bin/caskel-app", "/usr/bin/caskel-app"},
      {"/opt/my apps/caskel-app", R"("/opt/my apps/caskel-app")"},
      {R"(/opt/say"hi"/caskel-app)", R"("/opt/say\\"hi\\"/caskel-app")"},
      {"/opt/it's/caskel-app", R"("/opt/it's/caskel-app")"},
      {"/opt/$HOME/caskel-app", R"("/opt/\\$HOME/caskel-app")"},
      {"/opt/back\\slash/caskel-app", R"("/opt/back\\\\slash/caskel-app")"},
      {"/opt/`x`/caskel-app", R"("/opt/\\`x\\`/caskel-app")"},
      {"/opt/100%/caskel-app", "/opt/100%%/caskel-app"},
      {"/opt/100% sure/caskel-app", R"("/opt/100%% sure/caskel-app")"},
      {"/opt/café/caskel-app", "/opt/café/caskel-app"},
  };
  for (const auto& [path, exec] : cases) EXPECT_EQ(AutostartEntry::execArgument(path), exec) << path;
}

TEST(AutostartEntry, TextStartsThisProgramHiddenAndRefusesUnwritablePaths) {
  const auto text = AutostartEntry::text("/home/a b/caskel-app");
  ASSERT_TRUE(text);
  EXPECT_EQ(text->rfind("[Desktop Entry]\n", 0), 0u);
  for (const char* line :
       {"\nType=Application\n", "\nName=Caskel\n", "\nExec=\"/home/a b/caskel-app\" --autostart\n",
        "\nIcon=caskel\n", "\nX-GNOME-Autostart-enabled=true\n"}) {
    EXPECT_NE(text->find(line), std::string::npos) << line;
  }
  for (const char* bad :
       {"", "caskel-app", "/opt/new\nline/caskel-app", "/opt/tab\t/caskel-app", "/opt/\xff/caskel-app"}) {
    EXPECT_FALSE(AutostartEntry::text(bad)) << bad;
  }
}

TEST(AutostartEntry, TextValidatesForAwkwardPaths) {
  if (::access("/usr/bin/desktop-file-validate", X_OK) != 0) GTEST_SKIP() << "desktop-file-validate missing";
  test::TempDir dir;
  for (const char* path : {"/usr/bin/caskel-app", "/home/a b/it's \"here\"/$x\\y`z`/50%/caskel-app"}) {
    const std::string file = dir.file("caskel-app.desktop");
    test::writeText(file, AutostartEntry::text(path).value());
    ChildOptions options;
    options.captureOutput = true;
    const ChildResult result = runChild("/usr/bin/desktop-file-validate", {file}, options);
    EXPECT_TRUE(result.succeeded()) << path;
    EXPECT_EQ(result.output, "") << path;
  }
}

TEST(AutostartEntry, WritesPrivatelyAndRemovesOnlyItsOwnFile) {
  test::TempDir dir;
  struct Case {
    const char* name;
    int existingFolderMode;  // -1: the folder is missing
    int folderModeAfter;
  };
  const Case cases[] = {{"missing", -1, 0700}, {"shared", 0755, 0755}, {"private", 0700, 0700}};
  for (const Case& c : cases) {
    const std::string folder = dir.file(c.name) + "/autostart";
    if (c.existingFolderMode >= 0) {
      ASSERT_EQ(::mkdir(dir.file(c.name).c_str(), 0700), 0);
      ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
      ASSERT_EQ(::chmod(folder.c_str(), static_cast<mode_t>(c.existingFolderMode)), 0);
      test::writeText(folder + "/other.desktop", "[Desktop Entry]\n");
    }
    const AutostartEntry entry(folder + "/caskel-app.desktop", "/usr/bin/caskel-app");
    EXPECT_FALSE(entry.isEnabled()) << c.name;
    EXPECT_EQ(entry.setEnabled(false), std::nullopt) << c.name;  // removing what is absent is fine
    EXPECT_EQ(entry.setEnabled(true), std::nullopt) << c.name;
    EXPECT_TRUE(entry.isEnabled()) << c.name;
    EXPECT_EQ(test::modeOf(entry.path()), 0600) << c.name;
    EXPECT_EQ(test::modeOf(folder), c.folderModeAfter) << c.name;
    EXPECT_EQ(test::readText(entry.path()), AutostartEntry::text("/usr/bin/caskel-app").value());
    EXPECT_EQ(entry.setEnabled(false), std::nullopt) << c.name;
    EXPECT_FALSE(entry.isEnabled()) << c.name;
    EXPECT_EQ(test::modeOf(folder), c.folderModeAfter) << c.name;
    if (c.existingFolderMode >= 0) {
      EXPECT_NE(test::modeOf(folder + "/other.desktop"), -1) << c.name;
    }
  }
}

TEST(AutostartEntry, FailuresSayWhy) {
  test::TempDir dir;
  test::writeText(dir.file("autostart"), "not a folder");
  const AutostartEntry blocked(dir.file("autostart") + "/caskel-app.desktop", "/usr/bin/caskel-app");
  EXPECT_NE(blocked.setEnabled(true).value_or("").find("Could not write "), std::string::npos);
  const AutostartEntry nameless(dir.file("caskel-app.desktop"), "");
  EXPECT_TRUE(nameless.setEnabled(true));
  EXPECT_FALSE(nameless.isEnabled());
}

}  // namespace
}  // namespace caskel
