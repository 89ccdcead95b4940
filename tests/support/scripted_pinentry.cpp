#include "support/scripted_pinentry.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <sstream>

namespace caskel::test {

namespace {

// Holds flock(`operation`) on `path` until the handle goes, as the scripted pinentry does around
// its own reads and writes.
std::shared_ptr<void> lockFile(const std::string& path, int flags, int operation) {
  const int fd = ::open(path.c_str(), flags | O_CLOEXEC, 0600);
  if (fd >= 0) ::flock(fd, operation);
  return {nullptr, [fd](void*) { ::close(fd); }};  // close(-1) after a failed open is harmless
}

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty()) lines.push_back(line);
  }
  return lines;
}

}  // namespace

void ScriptedPinentry::answer(const std::string& line) {
  // Appended in place: the pinentry replaces the file by rename only under the same lock.
  const auto lock = lockFile(answers_ + ".lock", O_RDWR | O_CREAT, LOCK_EX);
  writeText(answers_, readText(answers_) + line + "\n");
}

void ScriptedPinentry::setDefault(const std::string& line) {
  default_ = line;
  if (!installed_.empty())
    installed_.push_back(std::make_unique<ScopedEnv>("SCRIPTED_PINENTRY_DEFAULT", default_));
}

std::vector<std::string> ScriptedPinentry::pendingAnswers() const {
  const auto lock = lockFile(answers_ + ".lock", O_RDWR | O_CREAT, LOCK_EX);
  return linesOf(readText(answers_));
}

std::vector<nlohmann::json> ScriptedPinentry::prompts() const {
  const auto lock = lockFile(log_, O_RDONLY, LOCK_SH);
  std::vector<nlohmann::json> out;
  for (const std::string& line : linesOf(readText(log_)))
    out.push_back(nlohmann::json::parse(line, nullptr, false));
  return out;
}

std::vector<std::string> ScriptedPinentry::descriptions() const {
  std::vector<std::string> out;
  for (const auto& p : prompts()) out.push_back(p.value("desc", ""));
  return out;
}

std::vector<std::pair<std::string, std::string>> ScriptedPinentry::environment() const {
  return {{"CASKEL_PINENTRY", scriptedPinentryPath()},
          {"SCRIPTED_PINENTRY_ANSWERS", answers_},
          {"SCRIPTED_PINENTRY_LOG", log_},
          {"SCRIPTED_PINENTRY_DEFAULT", default_}};
}

void ScriptedPinentry::installInProcess() {
  for (const auto& [name, value] : environment())
    installed_.push_back(std::make_unique<ScopedEnv>(name, value));
}

}  // namespace caskel::test
