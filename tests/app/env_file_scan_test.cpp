#include "app/env_file_scan.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "support/test_env.h"

namespace caskel {
namespace {

void touch(const test::TempDir& dir, const std::string& relative) {
  const std::string path = dir.file(relative);
  ASSERT_TRUE(fs::ensurePrivateDirectory(fs::parentOf(path))) << relative;
  ASSERT_TRUE(fs::writeFileAtomically(path, "KEY=value\n")) << relative;
}

TEST(EnvFileScan, FindsEnvFilesTwoLevelsDownPastDependencyFoldersAndTemplates) {
  test::TempDir dir;
  for (const char* file :
       {"web/app/.env", "web/app/src/.env", ".env.local", "api/.env.production", ".env.example",
        "api/.env.template", ".env.sample", "node_modules/.env", "web/node_modules/.env", ".git/.env",
        "web/.next/.env", ".nuxt/.env", "DerivedData/.env", "notes.env", "web/app/.env.d/x"}) {
    touch(dir, file);
  }
  // Not followed: through the link, web/app/.env would be found a second time.
  ASSERT_EQ(::symlink(dir.file("web").c_str(), dir.file("linked").c_str()), 0);
  ASSERT_EQ(::symlink(dir.file("web/app/.env").c_str(), dir.file(".env.link").c_str()), 0);

  std::vector<std::string> found = EnvFileScan::run(dir.path());
  std::sort(found.begin(), found.end());
  EXPECT_EQ(found, (std::vector<std::string>{".env.local", "api/.env.production", "web/app/.env"}));
}

TEST(EnvFileScan, PassesOverWhatItCannotOpen) {
  if (::geteuid() == 0) GTEST_SKIP() << "root opens any folder";
  test::TempDir dir;
  touch(dir, "a-closed/.env");
  touch(dir, "z/.env");
  ASSERT_EQ(::chmod(dir.file("a-closed").c_str(), 0), 0);
  EXPECT_EQ(EnvFileScan::run(dir.path()), std::vector<std::string>{"z/.env"});
  ::chmod(dir.file("a-closed").c_str(), 0700);
  EXPECT_TRUE(EnvFileScan::run(dir.file("missing")).empty());
}

TEST(EnvFileScan, Texts) {
  const std::tuple<size_t, const char*, const char*> counts[] = {
      {0, "Found 0 .env files", "No .env files found"},
      {1, "Found 1 .env file", "Found 1 — scan command copied"},
      {2, "Found 2 .env files", "Found 2 — scan command copied"},
  };
  for (const auto& [count, notice, result] : counts) {
    EXPECT_EQ(envFilesFoundText(count), notice);
    EXPECT_EQ(envScanResultText(count), result);
  }
  EXPECT_EQ(envScanNotice(2),
            (UserNotice{"Found 2 .env files",
                        "Run 'caskel scan' in your terminal to import. Command copied to clipboard."}));
  // The folder is pasted into a shell: quoted whole, whatever it holds.
  EXPECT_EQ(envScanCommand("/home/a/my app; rm -rf ~"), "caskel scan '/home/a/my app; rm -rf ~'");
}

}  // namespace
}  // namespace caskel
