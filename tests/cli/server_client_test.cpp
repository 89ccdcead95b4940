#include "cli/server_client.h"

#include <gtest/gtest.h>

#include "cli/cli_platform.h"
#include "fake_server.h"

namespace caskel::cli {
namespace {

using test::FakeServer;
using test::runTool;

TEST(ServerClient, ReadsALargeReplyToTheEndOfTheStream) {
  // A reply far beyond one socket buffer, with escaped slashes as the server writes them.
  const std::string big(3 * 1024 * 1024, 'x');
  FakeServer server([&](const nlohmann::json&) -> nlohmann::json {
    return std::string(R"({"ok":true,"value":"a\/b)") + big + "\"}";
  });
  Exchange ex = ServerClient(server.socketPath()).send({{"cmd", "get-cli"}});
  ASSERT_EQ(ex.failure, TransportFailure::kNone) << ex.detail;
  EXPECT_EQ(ex.reply["value"].get<std::string>().size(), big.size() + 3);
  EXPECT_EQ(ex.reply["value"].get<std::string>().substr(0, 3), "a/b");
}

TEST(ServerClient, BrokenRepliesAreFailuresNotCrashes) {
  for (const std::string raw : {"", "not json", "[1,2]", R"({"ok":true)", "\"just a string\""}) {
    FakeServer server([&](const nlohmann::json&) -> nlohmann::json { return raw; });
    Exchange ex = ServerClient(server.socketPath()).send({{"cmd", "version"}});
    EXPECT_NE(ex.failure, TransportFailure::kNone) << raw;
    EXPECT_FALSE(ex.detail.empty());
    EXPECT_EQ(runTool({"peek", "a/b/K"}).code, 1) << raw;
  }
}

TEST(ToolReplies, RefusalsAndOddRepliesFailWithoutWritingAScript) {
  test::TempDir runtime;
  test::ScopedEnv xdg("XDG_RUNTIME_DIR", runtime.path());
  nlohmann::json reply;
  FakeServer server([&](const nlohmann::json&) { return reply; });

  reply = {{"ok", false}};
  auto refused = runTool({"rm", "a/b/K"});
  EXPECT_EQ(refused.code, 1);
  EXPECT_EQ(refused.err, "Error: the server refused the request\n");

  // Encryption failed on the server: ok true, but no value of any kind to hand out.
  reply = {{"ok", true}, {"value", "__error__"}, {"agent", true}, {"error", "Server-side encryption failed"}};
  auto failed = runTool({"get", "a/b/K"});
  EXPECT_EQ(failed.code, 1);
  EXPECT_EQ(failed.err, "Error: Server-side encryption failed\n");
  EXPECT_EQ(failed.out, "");

  reply = {{"ok", true}, {"value", "__encrypted__"}, {"ct", "AAAA"}, {"k", "zz"}, {"iv", "00"}, {"kn", "K"}};
  EXPECT_EQ(runTool({"get", "a/b/K"}).code, 1);
  EXPECT_TRUE(listDirectory(runtime.path() + "/caskel").empty());
}

TEST(ToolReplies, RunRedactsAMultiLineValueWholeAndEachOfItsLinesForAnAgent) {
  FakeServer server([](const nlohmann::json& r) -> nlohmann::json {
    if (r["cmd"] == "ls") return {{"ok", true}, {"accounts", {{{"account", "acme/2fa/CODES"}}}}};
    return test::agentGetReply("acme/2fa/CODES", "code-1111\ncode-2222\ncode-3333");
  });
  auto run = runTool({"run", "acme/2fa", "--", "sh", "-c",
                      "printf '%s|' \"$CODES\"; printf '%s\\n' \"$CODES\" | sed -n 2p"});
  EXPECT_EQ(run.code, 0) << run.err;
  EXPECT_EQ(run.out, "<redacted:CODES>|<redacted:CODES>\n");
}

}  // namespace
}  // namespace caskel::cli
