#include "support/scripted_pinentry.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <sstream>

namespace caskel::test {

namespace {

// Holds the lock file the scripted pinentry takes before it consumes an answer.
class AnswerLock {
 public:
  explicit AnswerLock(const std::string& answers) {
    fd_ = ::open((answers + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd_ >= 0) ::flock(fd_, LOCK_EX);
  }
  ~AnswerLock() {
    if (fd_ >= 0) ::close(fd_);
  }
  AnswerLock(const AnswerLock&) = delete;
  AnswerLock& operator=(const AnswerLock&) = delete;

 private:
  int fd_ = -1;
};

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty()) lines.push_back(line);
  }
  return lines;
}

}  // namespace

ScriptedPinentry::ScriptedPinentry(const std::string& dir)
    : answers_(dir + "/pinentry-answers"), log_(dir + "/pinentry-log.jsonl") {
  writeText(answers_, "");
}

ScriptedPinentry::~ScriptedPinentry() {
  // Newest first, so each variable returns to the value it had before installInProcess().
  while (!installed_.empty()) installed_.pop_back();
}

void ScriptedPinentry::answer(const std::string& line) {
  AnswerLock lock(answers_);
  // Appended in place: the pinentry replaces the file by rename only under the same lock.
  writeText(answers_, readText(answers_) + line + "\n");
}

void ScriptedPinentry::setDefault(const std::string& line) {
  default_ = line;
  if (!installed_.empty())
    installed_.push_back(std::make_unique<ScopedEnv>("SCRIPTED_PINENTRY_DEFAULT", default_));
}

std::vector<std::string> ScriptedPinentry::pendingAnswers() const {
  AnswerLock lock(answers_);
  return linesOf(readText(answers_));
}

std::vector<nlohmann::json> ScriptedPinentry::prompts() const {
  std::string text;
  int fd = ::open(log_.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    ::flock(fd, LOCK_SH);
    text = readText(log_);
    ::close(fd);
  }
  std::vector<nlohmann::json> out;
  for (const std::string& line : linesOf(text)) {
    out.push_back(nlohmann::json::parse(line, nullptr, false));
  }
  return out;
}

int ScriptedPinentry::promptCount() const {
  return static_cast<int>(prompts().size());
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
