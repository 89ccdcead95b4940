#include "cli/dot_env.h"

#include <gtest/gtest.h>

namespace caskel::cli {
namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

Pairs entriesOf(const DotEnvFile& parsed) {
  Pairs got;
  for (const auto& e : parsed.entries) got.emplace_back(e.key, e.value);
  return got;
}

TEST(DotEnvParser, ReadsTheFormsFoundInRealFiles) {
  DotEnvFile parsed = parseDotEnv(
      "\xEF\xBB\xBF# comment\r\n"
      "\r\n"
      "   # indented comment\n"
      "PLAIN=value\r\n"
      "export EXPORTED=yes\n"
      "SPACED = around equals   \n"
      "TRAILING=abc # a comment\n"
      "INLINE_HASH=abc#def\n"
      "SINGLE='no $escapes \\n here'  # comment\n"
      "DOUBLE=\"tab\\there \\\"q\\\" \\$HOME \\x\"\n"
      "MULTI=\"first\r\nsecond\"\n"
      "MULTI_SINGLE='a\nb'\n"
      "EMPTY=\n"
      "EMPTY_QUOTED=\"\"\n"
      "dotted.name-1=ok\n");
  EXPECT_TRUE(parsed.problems.empty());
  EXPECT_EQ(entriesOf(parsed), (Pairs{{"PLAIN", "value"},
                                      {"EXPORTED", "yes"},
                                      {"SPACED", "around equals"},
                                      {"TRAILING", "abc"},
                                      {"INLINE_HASH", "abc#def"},
                                      {"SINGLE", "no $escapes \\n here"},
                                      {"DOUBLE", "tab\there \"q\" $HOME \\x"},
                                      {"MULTI", "first\nsecond"},
                                      {"MULTI_SINGLE", "a\nb"},
                                      {"EMPTY", ""},
                                      {"EMPTY_QUOTED", ""},
                                      {"dotted.name-1", "ok"}}));
  EXPECT_EQ(parsed.entries[0].line, 4);
  // Crash-freedom on arbitrary bytes is the .env fuzz target's; a NUL inside a value is no problem.
  EXPECT_TRUE(parseDotEnv(std::string("A=\0b", 4)).problems.empty());
}

TEST(DotEnvParser, ReportsBadLinesAndGoesOn) {
  DotEnvFile parsed = parseDotEnv(
      "GOOD1=1\n"
      "no equals sign\n"
      "1BAD=name\n"
      "OPEN=\"never closed\n"
      "GOOD2=2\n"
      "JUNK='x' trailing\n"
      "GOOD3=3");
  EXPECT_EQ(entriesOf(parsed), (Pairs{{"GOOD1", "1"}, {"GOOD2", "2"}, {"GOOD3", "3"}}));
  std::vector<int> lines;
  for (const auto& p : parsed.problems) {
    lines.push_back(p.line);
    EXPECT_EQ(p.message.find("never closed"), std::string::npos);
  }
  EXPECT_EQ(lines, (std::vector<int>{2, 3, 4, 6}));
}

}  // namespace
}  // namespace caskel::cli
