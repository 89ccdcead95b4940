#include "base/key_path.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace caskel {
namespace {

TEST(KeyPath, ValidityAllowsOnlyTheKeyAlphabetUpTo512) {
  EXPECT_TRUE(isValidKeyPath("acme/web-app/API_KEY.v2 old"));
  EXPECT_TRUE(isValidKeyPath(std::string(512, 'a')));
  EXPECT_FALSE(isValidKeyPath(std::string(513, 'a')));
  EXPECT_FALSE(isValidKeyPath(std::string("a\0b", 3)));
  for (const char* bad : {"", "a/b$", "a\tb", "a/b\n", "caf\xC3\xA9/K", "a;rm", "a\\b", "a:b", "~/k"}) {
    EXPECT_FALSE(isValidKeyPath(bad)) << bad;
  }
}

TEST(KeyPath, AFullKeyNamesOneItemInAFolder) {
  for (const char* full : {"org/K", "org/proj/API_KEY", "a b/c.d/e-f_g", "org/.env/..K"}) {
    EXPECT_TRUE(isFullKeyPath(full)) << full;
  }
  for (const char* notFull :
       {"K", "org/", "/org/K", "org//K", "org/./K", "org/../K", "../K", "org/K/..", "/", "", "org/K$"}) {
    EXPECT_FALSE(isFullKeyPath(notFull)) << notFull;
  }
}

TEST(KeyPath, DerivationsOfKeysAndFolders) {
  EXPECT_EQ(keyPathComponents("/a//b/K/"), (std::vector<std::string>{"a", "b", "K"}));
  EXPECT_TRUE(keyPathComponents("//").empty());
  using Rows = std::vector<std::pair<const char*, const char*>>;  // input, expected
  const std::pair<std::string (*)(std::string_view), Rows> cases[] = {
      {keyName, {{"acme/web/API_KEY", "API_KEY"}, {"acme/web/", "web"}, {"KEY", "KEY"}, {"/", "/"}}},
      {folderOf,
       {{"acme/web/API_KEY", "acme/web"}, {"/acme//web/API_KEY", "acme/web"}, {"acme/", ""}, {"KEY", ""}}},
      {sessionPrefixOf, {{"org/proj/KEY", "org/proj/"}, {"org/proj/", "org/proj/"}, {"KEY", "KEY/"}}},
      {folderPrefixOrKey, {{"acme/web/API_KEY", "acme/web/"}, {"acme/KEY", "acme/"}, {"KEY", "KEY"}}},
      {normalizePrefix, {{"org/proj", "org/proj/"}, {"org/proj/", "org/proj/"}}}};
  for (const auto& [derive, rows] : cases) {
    for (auto [input, expected] : rows) EXPECT_EQ(derive(input), expected) << input;
  }
}

}  // namespace
}  // namespace caskel
