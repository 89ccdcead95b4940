#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// The self-check's five commands: the onboarding screen runs them, `caskel verify` prints them
// with the server's process number filled in, and the agent instructions quote them. They read
// only what the kernel and the package manager report, with the system's own tools. `ss -p` and
// `lsof` are not among them: they cannot see the sockets of a non-dumpable process without root.
// Header-only so that the caskel tool can print them without linking the server's code.
namespace caskel::verification {

inline constexpr size_t kCheckCount = 5;

// Stands for the server's process number in the arguments below.
inline constexpr std::string_view kPidPlaceholder = "PID";
// Finds the server when its number is not known: the desktop program that hosts it, else caskeld.
inline constexpr const char* kServerPidLookup = "$(pgrep -xo caskel-app || pgrep -xo caskeld)";

struct Check {
  const char* label;
  // The program and its arguments; "/proc/PID/…" names the server's entries.
  std::vector<std::string> arguments;
  // What a passing check shows, for a person reading the command's output.
  const char* expect;
};

inline std::array<Check, kCheckCount> checks() {
  return {{
      {"No outbound network access",
       {"cat", "/proc/PID/net/dev"},
       "only the \"lo\" line below the two header lines: the server lives in a network namespace of its own, "
       "where the kernel gave it no network device but loopback"},
      {"Sandbox enabled",
       {"grep", "-E", "^(NoNewPrivs|Seccomp):", "/proc/PID/status"},
       "\"NoNewPrivs: 1\" and \"Seccomp: 2\": a kernel filter forbids the server every socket but local Unix sockets"},
      {"Package integrity",
       {"dpkg", "--verify", "caskel"},
       "no output, and the program belongs to the caskel package (dpkg -S of its path names \"caskel\"); "
       "otherwise this is a development build or files were changed"},
      {"Installed from a repository",
       {"apt-cache", "policy", "caskel"},
       "the installed version (marked ***) lists a repository besides /var/lib/dpkg/status (informational)"},
      {"Zero network connections",
       {"cat", "/proc/PID/net/tcp", "/proc/PID/net/tcp6", "/proc/PID/net/udp", "/proc/PID/net/udp6"},
       "the header lines only: the server has no open network socket"},
  }};
}

// `arguments` with the placeholder in /proc paths replaced by `pid`.
inline std::vector<std::string> withPid(std::vector<std::string> arguments, std::string_view pid) {
  for (std::string& arg : arguments) {
    if (arg.starts_with("/proc/PID/")) arg = "/proc/" + std::string(pid) + arg.substr(9);
  }
  return arguments;
}

// The arguments as one shell command line, `pid` (a number or a command substitution such as
// kServerPidLookup) in place of the placeholder.
inline std::string commandLine(const std::vector<std::string>& arguments, std::string_view pid) {
  std::string line;
  for (const std::string& arg : arguments) {
    if (!line.empty()) line += ' ';
    if (arg.starts_with("/proc/PID/")) {
      line += "/proc/" + std::string(pid) + arg.substr(9);
    } else if (arg.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789/._-:") ==
               std::string::npos) {
      line += arg;
    } else {
      line += '\'';
      for (char c : arg) line += c == '\'' ? std::string("'\\''") : std::string(1, c);
      line += '\'';
    }
  }
  return line;
}

}  // namespace caskel::verification
