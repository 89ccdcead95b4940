#include "base/key_path.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace caskel {
namespace {

TEST(KeyPath, ValidityAllowsOnlyTheKeyAlphabetUpTo512) {
  EXPECT_TRUE(isValidKeyPath("acme/web-app/API_KEY.v2 old"));
  EXPECT_TRUE(isValidKeyPath(std::string(512, 'a')));
  EXPECT_FALSE(isValidKeyPath(std::string(513, 'a')));
  EXPECT_FALSE(isValidKeyPath(""));
  for (const char* bad : {"a/b$", "a\tb", "a/b\n", "caf\xC3\xA9/K", "a;rm", "a\\b", "a:b", "~/k"}) {
    EXPECT_FALSE(isValidKeyPath(bad)) << bad;
  }
  EXPECT_FALSE(isValidKeyPath(std::string("a\0b", 3)));
}

TEST(KeyPath, DerivationsOfKeysAndFolders) {
  EXPECT_EQ(keyPathComponents("/a//b/K/"), (std::vector<std::string>{"a", "b", "K"}));
  EXPECT_TRUE(keyPathComponents("//").empty());

  EXPECT_EQ(keyName("acme/web/API_KEY"), "API_KEY");
  EXPECT_EQ(keyName("acme/web/"), "web");
  EXPECT_EQ(keyName("KEY"), "KEY");
  EXPECT_EQ(keyName("/"), "/");

  EXPECT_EQ(folderOf("acme/web/API_KEY"), "acme/web");
  EXPECT_EQ(folderOf("/acme//web/API_KEY"), "acme/web");
  EXPECT_EQ(folderOf("acme/"), "");
  EXPECT_EQ(folderOf("KEY"), "");

  EXPECT_EQ(sessionPrefixOf("org/proj/KEY"), "org/proj/");
  EXPECT_EQ(sessionPrefixOf("org/proj/"), "org/proj/");
  EXPECT_EQ(sessionPrefixOf("KEY"), "KEY/");

  EXPECT_EQ(folderPrefixOrKey("acme/web/API_KEY"), "acme/web/");
  EXPECT_EQ(folderPrefixOrKey("acme/KEY"), "acme/");
  EXPECT_EQ(folderPrefixOrKey("KEY"), "KEY");

  EXPECT_EQ(normalizePrefix("org/proj"), "org/proj/");
  EXPECT_EQ(normalizePrefix("org/proj/"), "org/proj/");
}

}  // namespace
}  // namespace caskel
