#include "app/autostart_entry.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "platform/child_process.h"
#include "support/test_env.h"

namespace caskel {
namespace {

// Quoted, then each backslash doubled for the value's own escapes; the desktop's checker agrees.
TEST(AutostartEntry, ExecLineKeepsAnAwkwardPathAndTheEntryValidates) {
  const std::string text = AutostartEntry::text("/a b/it's \"q\"/$x\\y`z`/50%/caskel-app").value();
  EXPECT_NE(text.find(R"(Exec="/a b/it's \\"q\\"/\\$x\\\\y\\`z\\`/50%%/caskel-app" --autostart)"),
            std::string::npos);
  for (const char* bad : {"", "caskel-app", "/opt/new\nline/caskel-app", "/opt/\xff/caskel-app"}) {
    EXPECT_FALSE(AutostartEntry::text(bad)) << bad;
  }
  if (::access("/usr/bin/desktop-file-validate", X_OK) != 0) GTEST_SKIP() << "desktop-file-validate missing";
  test::TempDir dir;
  test::writeText(dir.file("caskel-app.desktop"), text);
  ChildOptions options;
  options.captureOutput = true;
  const ChildResult result =
      runChild("/usr/bin/desktop-file-validate", {dir.file("caskel-app.desktop")}, options);
  EXPECT_TRUE(result.succeeded() && result.output.empty()) << result.output;
}

}  // namespace
}  // namespace caskel
