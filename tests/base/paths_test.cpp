// Key paths, the program lookup on PATH and where the sockets live.
#include <gtest/gtest.h>

#include <optional>
#include <set>
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

// Only absolute entries are searched, in order (empty and relative ones are skipped); a name
// with "/" is never looked up.
TEST(PathLookup, FirstAbsoluteEntryThatHoldsTheProgram) {
  const auto isListed = [](const std::string& path) {
    static const std::set<std::string> executables = {"/opt/a/tool", "/opt/b/tool", "./tool", "rel/tool"};
    return executables.count(path) > 0;
  };
  const struct {
    const char* name;
    const char* path;
    std::optional<std::string> found;
  } cases[] = {{"tool", "/opt/a:/opt/b", "/opt/a/tool"}, {"tool", "/opt/b:/opt/a", "/opt/b/tool"},
               {"tool", "/none:/opt/b", "/opt/b/tool"},  {"tool", ":.:rel::/opt/b", "/opt/b/tool"},
               {"tool", ":.:rel", std::nullopt},         {"tool", "", std::nullopt},
               {"a/tool", "/opt", std::nullopt},         {"", "/opt/a", std::nullopt},
               {"other", "/opt/a:/opt/b", std::nullopt}};
  for (const auto& c : cases) {
    EXPECT_EQ(findOnPath(c.name, c.path, isListed), c.found) << c.name << " in " << c.path;
  }
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
  EXPECT_EQ(instance::parseCommand("toggle-quick-access"), instance::Command::toggleQuickAccess);
  EXPECT_EQ(instance::commandText(instance::Command::toggleQuickAccess), "toggle-quick-access");
  for (const char* line :
       {"", "Show", "show ", " show", "show\n", "show\r", "quit", "showx", "toggle-quick-access "}) {
    EXPECT_EQ(instance::parseCommand(line), std::nullopt) << line;
  }
}

}  // namespace
}  // namespace caskel
