// A pinentry stand-in for tests: speaks Assuan on stdin/stdout and answers each GETPIN from a
// script file instead of a person, recording what it was shown.
//
//   SCRIPTED_PINENTRY_ANSWERS  file with one answer per line, consumed in order:
//                              "PIN <text>", "CANCEL", "CRASH", "HANG", "GARBAGE"
//   SCRIPTED_PINENTRY_DEFAULT  the answer once the file is used up (else CANCEL)
//   SCRIPTED_PINENTRY_NO_REPEAT  when set, SETREPEAT is refused like an old pinentry does
//   SCRIPTED_PINENTRY_LOG      file that gets one JSON line per GETPIN:
//                              {"title","desc","prompt","error","repeat","ttyname","pid"}
// Several copies may run at once: the answer file is shared under a lock file beside it.

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <nlohmann/json.hpp>
#include <string>

namespace {

std::string env(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

std::string unescape(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    const bool hex = text[i] == '%' && i + 2 < text.size() &&
                     std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
                     std::isxdigit(static_cast<unsigned char>(text[i + 2]));
    out += hex ? static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16)) : text[i];
    if (hex) i += 2;
  }
  return out;
}

std::string escape(const std::string& text) {
  std::string out;
  char hex[4];
  for (unsigned char c : text) {
    std::snprintf(hex, sizeof hex, "%%%02X", c);
    out += c < 0x20 || c == '%' ? std::string(hex) : std::string(1, static_cast<char>(c));
  }
  return out;
}

void reply(const std::string& line) {
  std::cout << line << '\n' << std::flush;
}

// Takes the first line of the answer file (rewriting the rest atomically), or the default.
std::string nextAnswer() {
  std::string answer = env("SCRIPTED_PINENTRY_DEFAULT").empty() ? "CANCEL" : env("SCRIPTED_PINENTRY_DEFAULT");
  const std::string path = env("SCRIPTED_PINENTRY_ANSWERS");
  const int lock = path.empty() ? -1 : ::open((path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (lock < 0) return answer;
  ::flock(lock, LOCK_EX);
  std::ifstream in(path, std::ios::binary);
  const std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (!all.empty()) {
    const size_t nl = all.find('\n');
    answer = all.substr(0, nl);
    std::ofstream(path + ".tmp", std::ios::binary | std::ios::trunc)
        << (nl == std::string::npos ? std::string() : all.substr(nl + 1));
    std::rename((path + ".tmp").c_str(), path.c_str());
  }
  ::close(lock);  // also releases the lock
  return answer;
}

void logPrompt(nlohmann::json prompt) {
  const std::string path = env("SCRIPTED_PINENTRY_LOG");
  const int fd = path.empty() ? -1 : ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return;
  prompt["pid"] = ::getpid();
  const std::string line = prompt.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
  ::flock(fd, LOCK_EX);  // readers take it shared, so they never see half a line
  (void)!::write(fd, line.data(), line.size());
  ::close(fd);
}

void answerWith(const std::string& answer, bool repeat) {
  if (answer == "CRASH") std::_Exit(1);
  while (answer == "HANG") ::pause();
  if (answer == "GARBAGE") {
    reply("this is not an assuan reply");
    std::_Exit(0);
  }
  if (answer != "PIN" && !answer.starts_with("PIN "))
    return reply("ERR 83886179 Operation cancelled <Pinentry>");
  if (repeat) reply("S PIN_REPEATED");
  if (answer.size() > 4) reply("D " + escape(answer.substr(4)));
  reply("OK");
}

}  // namespace

int main() {
  const std::map<std::string, std::string> kFields = {
      {"SETTITLE", "title"}, {"SETDESC", "desc"}, {"SETPROMPT", "prompt"}, {"SETERROR", "error"}};
  ::signal(SIGPIPE, SIG_DFL);
  nlohmann::json state = {{"title", ""}, {"desc", ""},      {"prompt", ""},
                          {"error", ""}, {"repeat", false}, {"ttyname", ""}};
  reply("OK Pleased to meet you");
  for (std::string line; std::getline(std::cin, line);) {
    const size_t sp = line.find(' ');
    const std::string cmd = line.substr(0, sp);
    const std::string arg = sp == std::string::npos ? std::string() : unescape(line.substr(sp + 1));
    if (cmd == "OPTION" && arg.starts_with("ttyname=")) {
      state["ttyname"] = arg.substr(8);
    } else if (kFields.contains(cmd)) {
      state[kFields.at(cmd)] = arg;
    } else if (cmd == "SETREPEAT" && !env("SCRIPTED_PINENTRY_NO_REPEAT").empty()) {
      reply("ERR 536871187 Unknown IPC command <Pinentry>");  // like an old pinentry
      continue;
    } else if (cmd == "SETREPEAT") {
      state["repeat"] = true;
    } else if (cmd == "GETPIN") {
      logPrompt(state);
      state["error"] = "";  // like pinentry: an error is shown for one question only
      answerWith(nextAnswer(), state["repeat"]);
      continue;
    } else if (cmd == "BYE") {
      reply("OK closing connection");
      return 0;
    }
    reply("OK");  // also SETREPEATERROR, SETTIMEOUT, SETOK, SETCANCEL and anything unknown
  }
  return 0;
}
