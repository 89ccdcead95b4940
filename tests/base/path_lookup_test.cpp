#include "base/path_lookup.h"

#include <gtest/gtest.h>

#include <optional>
#include <set>
#include <string>

namespace caskel {
namespace {

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

}  // namespace
}  // namespace caskel
