#include "base/shell_text.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <optional>
#include <string>
#include <utility>

namespace caskel {
namespace {

TEST(ShellText, VariableNames) {
  const std::pair<const char*, const char*> cases[] = {{"acme/api/OPENAI_API_KEY", "OPENAI_API_KEY"},
                                                       {"acme/db/primary-url.v2", "primary_url_v2"},
                                                       {"acme/2fa/2FA_CODES", "_2FA_CODES"},
                                                       {"acme/x/my key", "my_key"},
                                                       {"acme/x/_private", "_private"},
                                                       {"acme/x/", "x"},
                                                       {"acme//web/", "web"},
                                                       {"/", "_"}};
  for (auto [account, name] : cases) EXPECT_EQ(envVarName(account), name) << account;
}

// What the server quotes, the tool must read back exactly, and nothing else.
TEST(ShellText, QuotedValuesReadBack) {
  EXPECT_EQ(shellSingleQuote(""), "''");
  EXPECT_EQ(shellSingleQuote("it's"), "'it'\\''s'");
  for (const std::string& value :
       std::initializer_list<std::string>{"", "plain", "it's", "''", "a\nb$(id)`x`\\"}) {
    EXPECT_EQ(exportedValue("# note\nexport V=" + shellSingleQuote(value) + "\n", "V"), value) << value;
  }
  EXPECT_EQ(exportedValue("# c\nexport A='x'\\''y\nz'", "A"), "x'y\nz");
  for (const char* refused : {"export A=$(id)", "export A='open", "export A=\"x\"", "export AB='x'"}) {
    EXPECT_EQ(exportedValue(refused, "A"), std::nullopt) << refused;
  }
}

}  // namespace
}  // namespace caskel
