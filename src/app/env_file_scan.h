#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "app/user_notice.h"
#include "platform/directory_walk.h"

namespace caskel {

// Finds the .env files of a project folder to suggest "caskel scan" for it: the folder and two
// levels below, past dependency and build folders, leaving out the committed templates.
class EnvFileScan {
 public:
  // The walk's visitor: collects what qualifies and answers whether to enter a directory.
  bool visit(const fs::WalkEntry& entry);
  // Relative paths of the files collected, in the order met.
  const std::vector<std::string>& found() const { return found_; }

  // Walks `root` on disk.
  static std::vector<std::string> run(const std::string& root);

 private:
  std::vector<std::string> found_;
};

// Whether an entry passes the depth and name rules (files and folders alike).
bool isScannableEntry(const fs::WalkEntry& entry);

// "Found 1 .env file", "Found 2 .env files".
std::string envFilesFoundText(size_t count);
// The notification for a scan that found `count` (at least one) files.
UserNotice envScanNotice(size_t count);
// The result line beside the scan button: "No .env files found", "Found 2 — scan command copied".
std::string envScanResultText(size_t count);
// What goes on the clipboard: the scan command for the folder, quoted for the shell.
std::string envScanCommand(const std::string& folder);

}  // namespace caskel
