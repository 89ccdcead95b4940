// Key paths, the program lookup on PATH and where the sockets live.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/instance_protocol.h"
#include "base/key_path.h"
#include "base/path_lookup.h"
#include "base/protocol.h"

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

// Skipping empty and relative PATH entries, and the search order, are checked on real files by
// the pinentry lookup test; a name with "/" (or none) is never looked up at all.
TEST(PathLookup, ANameWithASlashOrNoNameIsNeverSearched) {
  const auto anything = [](const std::string&) { return true; };
  EXPECT_EQ(findOnPath("a/tool", "/opt", anything), std::nullopt);
  EXPECT_EQ(findOnPath("", "/opt", anything), std::nullopt);
  EXPECT_EQ(findOnPath("tool", "/opt", anything), "/opt/tool");
}

// Server and tool find each other through this path: an empty override must not become "".
TEST(Protocol, SocketPathDefaultsPerUserUnlessNamed) {
  EXPECT_EQ(protocol::defaultSocketPath(nullptr, 1000), "/tmp/caskel-sock-1000/caskel.sock");
  EXPECT_EQ(protocol::defaultSocketPath("", 1000), "/tmp/caskel-sock-1000/caskel.sock");
  EXPECT_EQ(protocol::defaultSocketPath("/run/x.sock", 1000), "/run/x.sock");
  EXPECT_EQ(protocol::socketDirectory(0), "/tmp/caskel-sock-0");
}

TEST(InstanceProtocol, SocketSitsBesideTheServerSocketAndOnlyExactCommandsCount) {
  for (auto [server, expected] : std::initializer_list<std::pair<const char*, const char*>>{
           {"/tmp/caskel-sock-1000/caskel.sock", "/tmp/caskel-sock-1000/caskel-app.sock"},
           {"/run/user/1000/c/other.sock", "/run/user/1000/c/caskel-app.sock"},
           {"/top.sock", "/caskel-app.sock"},
           {"relative.sock", "./caskel-app.sock"},
           {"dir/s.sock", "dir/caskel-app.sock"}}) {
    EXPECT_EQ(instance::socketPath(server), expected) << server;
  }
  EXPECT_EQ(instance::parseCommand("show"), instance::Command::show);
  for (const char* line : {"", "Show", "show ", " show", "show\n", "show\r", "quit", "showx"}) {
    EXPECT_EQ(instance::parseCommand(line), std::nullopt) << line;
  }
}

}  // namespace
}  // namespace caskel
