#include "app/instructions_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/test_env.h"

namespace caskel {
namespace {

constexpr std::string_view kDoc = "## Credential Management\nUse caskel.";

TEST(InstructionsFile, AppendsAfterABlankLineUnlessAlreadyConfigured) {
  const std::pair<const char*, std::optional<std::string>> cases[] = {
      {"# Notes\nRun make.\n", "# Notes\nRun make.\n\n\n" + std::string(kDoc) + "\n"},
      {"# Notes\nRun make.", "# Notes\nRun make.\n\n" + std::string(kDoc) + "\n"},
      {"We keep secrets in caskel, see below.\n", std::nullopt},
      {"## Credential Management\n", std::nullopt},
      // Case matters: the product's name in prose is not the tool's instructions.
      {"Caskel is our vault.\n", "Caskel is our vault.\n\n\n" + std::string(kDoc) + "\n"},
  };
  for (const auto& [existing, expected] : cases) {
    EXPECT_EQ(withInstructionsAppended(existing, kDoc), expected) << existing;
  }
  EXPECT_EQ(newInstructionsFile(kDoc), "# Project Instructions\n\n" + std::string(kDoc) + "\n");
}

TEST(InstructionsFile, RewritesOnlyUtf8FilesWithoutInstructionsKeepingModeAndLinks) {
  test::TempDir dir;
  const std::string binary = "# Notes\n\xff\xfe not text\n";
  const std::pair<std::string, InstructionsOutcome::Kind> untouched[] = {
      {binary, InstructionsOutcome::Kind::notText},
      {"use caskel\n", InstructionsOutcome::Kind::alreadyConfigured},
  };
  for (const auto& [text, kind] : untouched) {
    ASSERT_TRUE(fs::writeFileAtomically(dir.file("CLAUDE.md"), text));
    EXPECT_EQ(appendInstructionsToFile(dir.file("CLAUDE.md"), kDoc).kind, kind);
    EXPECT_EQ(fs::readFile(dir.file("CLAUDE.md")), text);
  }

  ASSERT_TRUE(fs::writeFileAtomically(dir.file("real.md"), "# Notes", 0644));
  ASSERT_EQ(::symlink("real.md", dir.file("link.md").c_str()), 0);
  EXPECT_EQ(appendInstructionsToFile(dir.file("link.md"), kDoc).kind, InstructionsOutcome::Kind::added);
  EXPECT_EQ(fs::readFile(dir.file("real.md")), "# Notes\n\n" + std::string(kDoc) + "\n");
  struct stat st {};
  ASSERT_EQ(::lstat(dir.file("link.md").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(fs::permissionsOf(dir.file("real.md")), 0644u);

  EXPECT_EQ(createInstructionsFile(dir.file("new/CLAUDE.md"), kDoc).kind, InstructionsOutcome::Kind::created);
  EXPECT_EQ(fs::readFile(dir.file("new/CLAUDE.md")), newInstructionsFile(kDoc));
  EXPECT_EQ(fs::permissionsOf(dir.file("new/CLAUDE.md")), 0600u);

  const InstructionsOutcome missing = appendInstructionsToFile(dir.file("absent.md"), kDoc);
  EXPECT_EQ(missing.kind, InstructionsOutcome::Kind::failed);
  EXPECT_EQ(instructionsNotice(missing, "absent.md"),
            (UserNotice{"Failed to save", "No such file or directory"}));
}

TEST(InstructionsFile, Notices) {
  using Kind = InstructionsOutcome::Kind;
  const std::pair<Kind, UserNotice> cases[] = {
      {Kind::added, {"Instructions added", "Caskel instructions appended to CLAUDE.md"}},
      {Kind::created, {"File created", "Caskel instructions saved to CLAUDE.md"}},
      {Kind::alreadyConfigured, {"Already configured", "This file already contains Caskel instructions."}},
      {Kind::notText, {"Failed to save", "CLAUDE.md is not UTF-8 text, so it was left unchanged."}},
  };
  for (const auto& [kind, notice] : cases) EXPECT_EQ(instructionsNotice({kind, {}}, "CLAUDE.md"), notice);
}

}  // namespace
}  // namespace caskel
