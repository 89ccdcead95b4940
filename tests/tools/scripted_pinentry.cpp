// A pinentry stand-in for tests: speaks Assuan on stdin/stdout and answers each GETPIN from a
// script file instead of a person, recording what it was shown.
//
//   SCRIPTED_PINENTRY_ANSWERS  file with one answer per line, consumed in order:
//                              "PIN <text>", "CANCEL", "CRASH", "HANG", "GARBAGE"
//   SCRIPTED_PINENTRY_DEFAULT  the answer once the file is used up (else CANCEL)
//   SCRIPTED_PINENTRY_NO_REPEAT  when set, SETREPEAT is refused like an old pinentry does
//   SCRIPTED_PINENTRY_LOG      file that gets one JSON line per GETPIN/CONFIRM:
//                              {"title","desc","prompt","error","repeat","ttyname"}
// Several copies may run at once: the answer file is shared under a lock file beside it.

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>

namespace {

std::string env(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::string unescape(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 && hexValue(text[i + 2]) >= 0) {
      out += static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

std::string escape(const std::string& text) {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  for (char c : text) {
    auto b = static_cast<unsigned char>(c);
    if (b < 0x20 || c == '%') {
      out += '%';
      out += hex[b >> 4];
      out += hex[b & 15];
    } else {
      out += c;
    }
  }
  return out;
}

void reply(const std::string& line) {
  std::cout << line << '\n' << std::flush;
}

// Takes the first line of the answer file (rewriting the rest atomically), or the default.
std::string nextAnswer() {
  std::string fallback = env("SCRIPTED_PINENTRY_DEFAULT");
  if (fallback.empty()) fallback = "CANCEL";
  std::string path = env("SCRIPTED_PINENTRY_ANSWERS");
  if (path.empty()) return fallback;
  int lock = ::open((path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (lock < 0) return fallback;
  ::flock(lock, LOCK_EX);
  std::string answer = fallback;
  std::ifstream in(path, std::ios::binary);
  if (in) {
    std::stringstream ss;
    ss << in.rdbuf();
    std::string all = ss.str();
    if (!all.empty()) {
      size_t nl = all.find('\n');
      answer = all.substr(0, nl);
      std::string rest = nl == std::string::npos ? std::string() : all.substr(nl + 1);
      std::string tmp = path + ".tmp";
      {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        out << rest;
      }
      std::rename(tmp.c_str(), path.c_str());
    }
  }
  ::flock(lock, LOCK_UN);
  ::close(lock);
  return answer;
}

struct State {
  std::string title, desc, prompt, error, ttyname;
  bool repeat = false;
};

void logPrompt(const State& s) {
  std::string path = env("SCRIPTED_PINENTRY_LOG");
  if (path.empty()) return;
  nlohmann::json j = {{"title", s.title}, {"desc", s.desc},     {"prompt", s.prompt},
                      {"error", s.error}, {"repeat", s.repeat}, {"ttyname", s.ttyname}};
  std::string line = j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
  int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return;
  ::flock(fd, LOCK_EX);  // readers take it shared, so they never see half a line
  (void)!::write(fd, line.data(), line.size());
  ::close(fd);
}

// Acts on one scripted answer; `pinAllowed` is false for CONFIRM (a PIN answer just says yes).
void answerWith(const std::string& answer, const State& state, bool pinAllowed) {
  if (answer == "CRASH") std::_Exit(1);
  if (answer == "HANG") {
    for (;;) ::pause();
  }
  if (answer == "GARBAGE") {
    reply("this is not an assuan reply");
    std::_Exit(0);
  }
  if (answer == "PIN" || answer.rfind("PIN ", 0) == 0) {
    std::string pin = answer.size() > 4 ? answer.substr(4) : std::string();
    if (pinAllowed) {
      if (state.repeat) reply("S PIN_REPEATED");
      if (!pin.empty()) reply("D " + escape(pin));
    }
    reply("OK");
    return;
  }
  reply("ERR 83886179 Operation cancelled <Pinentry>");
}

}  // namespace

int main() {
  const std::map<std::string, std::string State::*> kFields = {{"SETTITLE", &State::title},
                                                               {"SETDESC", &State::desc},
                                                               {"SETPROMPT", &State::prompt},
                                                               {"SETERROR", &State::error}};
  ::signal(SIGPIPE, SIG_DFL);
  State state;
  reply("OK Pleased to meet you");
  std::string line;
  while (std::getline(std::cin, line)) {
    size_t sp = line.find(' ');
    std::string cmd = line.substr(0, sp);
    std::string arg = sp == std::string::npos ? std::string() : unescape(line.substr(sp + 1));
    if (cmd == "OPTION") {
      if (arg.rfind("ttyname=", 0) == 0) state.ttyname = arg.substr(8);
      reply("OK");
    } else if (auto field = kFields.find(cmd); field != kFields.end()) {
      state.*(field->second) = arg;
      reply("OK");
    } else if (cmd == "SETREPEAT" && !env("SCRIPTED_PINENTRY_NO_REPEAT").empty()) {
      reply("ERR 536871187 Unknown IPC command <Pinentry>");  // like an old pinentry
    } else if (cmd == "SETREPEAT") {
      state.repeat = true;
      reply("OK");
    } else if (cmd == "GETPIN" || cmd == "CONFIRM") {
      logPrompt(state);
      std::string answer = nextAnswer();
      state.error.clear();  // like pinentry: an error is shown for one question only
      answerWith(answer, state, cmd == "GETPIN");
    } else if (cmd == "GETINFO") {
      if (arg == "pid") reply("D " + std::to_string(::getpid()));
      if (arg == "version") reply("D 1.2.1");
      reply("OK");
    } else if (cmd == "RESET") {
      state = State{};
      reply("OK");
    } else if (cmd == "BYE") {
      reply("OK closing connection");
      return 0;
    } else {
      // SETREPEATERROR, SETTIMEOUT, SETOK, SETCANCEL and anything unknown.
      reply("OK");
    }
  }
  return 0;
}
