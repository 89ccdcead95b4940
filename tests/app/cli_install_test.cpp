#include "app/cli_install.h"

#include <gtest/gtest.h>

namespace caskel {
namespace {

TEST(CliInstall, SaysWhereTheToolIsOrHowToLinkIt) {
  const std::string home = "/home/alice";
  struct Case {
    std::optional<std::string> onPath;
    bool inLocalBin;
    std::string appDirectory;
    const char* status;
    const char* command;
  };
  const Case cases[] = {
      {"/home/alice/.local/bin/caskel", true, "/usr/bin", "CLI installed at ~/.local/bin/caskel", ""},
      {"/usr/bin/caskel", false, "/usr/bin", "CLI installed at /usr/bin/caskel", ""},
      {"/home/alice2/bin/caskel", false, "/usr/bin", "CLI installed at /home/alice2/bin/caskel", ""},
      {std::nullopt, true, "/usr/bin", "CLI installed at ~/.local/bin/caskel", ""},
      {std::nullopt, false, "/opt/it's here", "CLI not found on PATH or at ~/.local/bin/caskel",
       "mkdir -p ~/.local/bin && ln -sf '/opt/it'\\''s here/caskel' ~/.local/bin/caskel"},
      {std::nullopt, false, "", "CLI not found on PATH or at ~/.local/bin/caskel", ""},
  };
  for (const Case& c : cases) {
    const CliInstall cli = cliInstall(c.onPath, c.inLocalBin, home, c.appDirectory);
    EXPECT_EQ(cli.statusText(), c.status) << c.onPath.value_or("-");
    if (cli.foundAt) continue;  // the command is shown only when the tool is missing
    EXPECT_EQ(cli.linkCommand, c.command);
  }
}

}  // namespace
}  // namespace caskel
