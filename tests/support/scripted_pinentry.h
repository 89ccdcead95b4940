#pragma once

#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

#include "support/test_env.h"

namespace caskel::test {

// Drives the scripted pinentry (tests/tools/scripted_pinentry.cpp): queues its answers and
// reads back every prompt it showed. Answers: "PIN <text>", "CANCEL", "CRASH", "HANG",
// "GARBAGE". Keeps its files in `dir`, which must outlive it.
class ScriptedPinentry {
 public:
  explicit ScriptedPinentry(const std::string& dir)
      : answers_(dir + "/pinentry-answers"), log_(dir + "/pinentry-log.jsonl") {
    writeText(answers_, "");
  }
  ~ScriptedPinentry() {
    // Newest first, so each variable returns to the value it had before installInProcess().
    while (!installed_.empty()) installed_.pop_back();
  }
  ScriptedPinentry(const ScriptedPinentry&) = delete;
  ScriptedPinentry& operator=(const ScriptedPinentry&) = delete;

  // Appends one answer to the queue (safe while a pinentry is running).
  void answer(const std::string& line);
  // The answer given once the queue is empty (default "CANCEL"). Takes effect for children
  // started afterwards.
  void setDefault(const std::string& line);
  // Answers not yet taken.
  std::vector<std::string> pendingAnswers() const;

  // Every GETPIN/CONFIRM seen, oldest first: {"title","desc","prompt","error","repeat","ttyname"}.
  std::vector<nlohmann::json> prompts() const;
  int promptCount() const { return static_cast<int>(prompts().size()); }
  std::vector<std::string> descriptions() const;

  // Variables a child process (caskeld in end-to-end tests) needs to use this pinentry.
  std::vector<std::pair<std::string, std::string>> environment() const;
  // Sets those variables in this process until destruction.
  void installInProcess();

  const std::string& logPath() const { return log_; }

 private:
  std::string answers_;
  std::string log_;
  std::string default_ = "CANCEL";
  std::vector<std::unique_ptr<ScopedEnv>> installed_;
};

}  // namespace caskel::test
