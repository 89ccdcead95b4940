#include "base/path_lookup.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace caskel {
namespace {

const std::set<std::string>& executables() {
  static const std::set<std::string> files = {"/opt/a/tool", "/opt/b/tool", "./tool", "rel/tool"};
  return files;
}
bool isListed(const std::string& path) {
  return executables().count(path) > 0;
}

// Only absolute entries are searched, in order; a name with "/" is never looked up.
TEST(PathLookup, FirstAbsoluteEntryThatHoldsTheProgram) {
  const struct {
    const char* name;
    const char* path;
    const char* found;  // nullptr: nothing
  } cases[] = {
      {"tool", "/opt/a:/opt/b", "/opt/a/tool"},
      {"tool", "/opt/b:/opt/a", "/opt/b/tool"},
      {"tool", "/none:/opt/b", "/opt/b/tool"},
      {"tool", ":.:rel::/opt/b", "/opt/b/tool"},  // empty and relative entries skipped
      {"tool", ":.:rel", nullptr},
      {"tool", "", nullptr},
      {"a/tool", "/opt", nullptr},
      {"", "/opt/a", nullptr},
      {"other", "/opt/a:/opt/b", nullptr},
  };
  for (const auto& c : cases) {
    const auto found = findOnPath(c.name, c.path, isListed);
    if (c.found == nullptr) {
      EXPECT_EQ(found, std::nullopt) << c.name << " in " << c.path;
    } else {
      EXPECT_EQ(found, c.found) << c.name << " in " << c.path;
    }
  }
}

}  // namespace
}  // namespace caskel
