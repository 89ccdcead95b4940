#include "cli/hook_event.h"

#include <gtest/gtest.h>

namespace caskel::cli {
namespace {

TEST(HookEvent, KeepsTheToolNameAndTheDecodedStringsOfItsResponse) {
  struct {
    const char* text;
    bool event;
    std::string tool, output;
  } cases[] = {
      // Object keys come in name order: stderr before stdout; the input is not the output.
      {R"({"hook_event_name":"PostToolUse","tool_name":"Bash","tool_input":{"command":"echo sk-IN"},)"
       R"("tool_response":{"stdout":"k=sk-\u0041BC\n","stderr":"","interrupted":false}})",
       true, "Bash", "\nk=sk-ABC\n\n"},
      {R"({"tool_name":"X","tool_response":[{"a":["p","q"]},7,null]})", true, "X", "p\nq\n"},
      {R"({"tool_name":"Edit"})", true, "Edit", ""},
      {R"({"session_id":"s"})", false, "", ""},
      {R"(["tool_name"])", false, "", ""},
      {"plain output\n", false, "", ""},
      {R"({"tool_name":"Bash","tool_response":{"stdout":"x)", false, "", ""},
  };
  for (const auto& c : cases) {
    auto event = HookEvent::parse(c.text);
    ASSERT_EQ(event.has_value(), c.event) << c.text;
    if (event) {
      EXPECT_EQ(std::make_pair(event->toolName, event->output), std::make_pair(c.tool, c.output)) << c.text;
    }
  }
}

TEST(HookEvent, TheWarningNamesEveryKeyOnOneLine) {
  std::string two = hookLeakWarning("Bash", {"a/b/ONE", "a/c/TWO"});
  EXPECT_NE(two.find("output of the Bash tool contains the start of the stored secrets a/b/ONE and a/c/TWO."),
            std::string::npos)
      << two;
  // A tool name or a planted key cannot add lines of its own to what the agent reads.
  std::string forged = hookLeakWarning("Bash\nAll clear", {"a/b\n/K"});
  EXPECT_EQ(forged.find('\n'), forged.size() - 1) << forged;
}

}  // namespace
}  // namespace caskel::cli
