#include "platform/pinentry_client.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sodium.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <thread>

#include "platform/assuan_parser.h"
#include "platform/child_process.h"
#include "platform/network_namespace.h"

extern char** environ;

namespace caskel {

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kMaxPassphraseBytes = 16 * 1024;
// How long a child that was told BYE may take to exit before it is killed.
constexpr int kExitGraceMs = 1000;
// How long a child that is being stopped may take to go after SIGTERM.
constexpr int kTermGraceMs = 200;

// Keeps a command within Assuan's line limit: cuts the escaped argument without splitting an
// escape or a UTF-8 sequence.
std::string commandLine(std::string_view command, std::string_view text) {
  std::string arg = assuanEscape(text);
  size_t room = AssuanParser::kMaxLineLength - command.size() - 1;
  if (arg.size() > room) {
    size_t cut = room;
    if (cut >= 1 && arg[cut - 1] == '%')
      cut -= 1;
    else if (cut >= 2 && arg[cut - 2] == '%')
      cut -= 2;
    while (cut > 0 && (static_cast<unsigned char>(arg[cut]) & 0xC0) == 0x80) --cut;
    arg.resize(cut);
  }
  std::string line(command);
  line += ' ';
  line += arg;
  return line;
}

// Option values are sent as they are, so only plain ones are passed on.
bool plainOptionValue(std::string_view value) {
  if (value.empty()) return false;
  for (char c : value) {
    if (static_cast<unsigned char>(c) <= 0x20 || c == '%' || c == 0x7f) return false;
  }
  return true;
}

// Whether a pinentry has anywhere to show itself: a display, or this process's terminal.
bool nowhereToShow() {
  auto set = [](const char* name) {
    const char* v = std::getenv(name);
    return v && *v;
  };
  return !set("DISPLAY") && !set("WAYLAND_DISPLAY") && !::isatty(STDIN_FILENO);
}

// An error text of the pinentry's, cut to printable ASCII: it is shown to whoever asked.
std::string printable(std::string_view text) {
  constexpr size_t kMaxShown = 120;
  std::string out;
  for (char c : text) {
    if (out.size() >= kMaxShown) break;
    out += (c >= 0x20 && c < 0x7f) ? c : '?';
  }
  return out;
}

// One running pinentry child and the conversation with it.
class Conversation {
 public:
  explicit Conversation(Clock::time_point deadline, int timeoutSeconds)
      : deadline_(deadline), timeoutSeconds_(timeoutSeconds) {}
  ~Conversation() { finish(false); }
  Conversation(const Conversation&) = delete;
  Conversation& operator=(const Conversation&) = delete;

  bool spawn(const std::string& program) {
    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) {
      fail(std::string("pinentry could not be started (") + std::strerror(errno) + ")");
      return false;
    }
    // Descriptors 0-2 would collide with the child's standard streams.
    for (int& fd : sv) {
      if (fd < 3) {
        int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
        ::close(fd);
        fd = moved;
      }
    }
    if (sv[0] < 0 || sv[1] < 0) {
      if (sv[0] >= 0) ::close(sv[0]);
      if (sv[1] >= 0) ::close(sv[1]);
      fail("pinentry could not be started (no file descriptors left)");
      return false;
    }
    // In a user namespace of our own, the helper outside starts it (see spawnOutside).
    std::string outsideError;
    if (auto pidfd = spawnOutside(program, sv[1], outsideError)) {
      ::close(sv[1]);
      if (*pidfd < 0) {
        ::close(sv[0]);
        fail("pinentry could not be started (" + outsideError + ")");
        return false;
      }
      pidfd_ = *pidfd;
      return connected(sv[0]);
    }
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attr);
    posix_spawn_file_actions_adddup2(&actions, sv[1], 0);
    posix_spawn_file_actions_adddup2(&actions, sv[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    // Nothing else of the server (sockets of other clients, the vault) reaches the child.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    sigset_t none;
    sigset_t defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (int sig : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGCHLD, SIGQUIT}) sigaddset(&defaults, sig);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    std::string arg0 = program;
    char* argv[] = {arg0.data(), nullptr};
    pid_t pid = -1;
    int rc = ::posix_spawn(&pid, program.c_str(), &actions, &attr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    ::close(sv[1]);
    if (rc != 0) {
      ::close(sv[0]);
      fail("pinentry could not be started (" + std::string(std::strerror(rc)) + ")");
      return false;
    }
    pid_ = pid;
    return connected(sv[0]);
  }

  bool connected(int fd) {
    fd_ = fd;
    int flags = ::fcntl(fd_, F_GETFL);
    ::fcntl(fd_, F_SETFL, flags | O_NONBLOCK);
    return true;
  }

  // Writes one command line. MSG_NOSIGNAL: a child that died must not take the server along.
  bool send(std::string_view line) {
    std::string data(line);
    data += '\n';
    size_t done = 0;
    while (done < data.size()) {
      ssize_t n = ::send(fd_, data.data() + done, data.size() - done, MSG_NOSIGNAL);
      if (n > 0) {
        done += static_cast<size_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && waitFor(POLLOUT)) continue;
      fail(exitedText());
      return false;
    }
    return true;
  }

  // The next response line; nothing on end of file, time-out or a malformed stream.
  std::optional<AssuanLine> readLine() {
    for (;;) {
      if (auto line = parser_.next()) return line;
      if (parser_.failed()) {
        fail("pinentry does not speak the Assuan protocol");
        return std::nullopt;
      }
      char buf[1024];
      ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
      if (n > 0) {
        parser_.feed(std::string_view(buf, static_cast<size_t>(n)));
        sodium_memzero(buf, sizeof buf);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && waitFor(POLLIN)) continue;
      fail(exitedText());
      return std::nullopt;
    }
  }

  // Sends a command and returns its final OK or ERR line; status and comment lines are
  // skipped. Nothing when the child failed to answer sensibly.
  std::optional<AssuanLine> command(std::string_view line) {
    if (!send(line)) return std::nullopt;
    for (;;) {
      std::optional<AssuanLine> reply = readLine();
      if (!reply) return std::nullopt;
      switch (reply->kind) {
        case AssuanLine::Kind::ok:
        case AssuanLine::Kind::err:
          return reply;
        case AssuanLine::Kind::inquire:
          if (!send("END")) return std::nullopt;
          break;
        case AssuanLine::Kind::data:  // not expected outside GETPIN; dropped (and wiped)
        case AssuanLine::Kind::status:
        case AssuanLine::Kind::comment:
          break;
      }
    }
  }

  bool commandOk(std::string_view line) {
    auto reply = command(line);
    if (reply && reply->kind != AssuanLine::Kind::ok)
      fail("pinentry refused " + printable(line.substr(0, line.find(' '))));
    return reply && reply->kind == AssuanLine::Kind::ok;
  }

  // The first thing that went wrong, in words for the person (kept: later failures follow
  // from it).
  void fail(std::string reason) {
    if (failure_.empty()) failure_ = std::move(reason);
  }
  std::string failure() const { return failure_.empty() ? std::string("pinentry failed") : failure_; }

  // Ends the conversation: a polite BYE and a short grace when `graceful`, then a kill;
  // the child is always reaped.
  void finish(bool graceful) {
    if (pid_ < 0 && pidfd_ < 0) return;
    bool exited = false;
    int status = 0;
    if (graceful && fd_ >= 0) {
      send("BYE");
      ::shutdown(fd_, SHUT_WR);
      exited = waitExit(kExitGraceMs, status);
    }
    if (fd_ >= 0) {
      ::close(fd_);
      fd_ = -1;
    }
    // A terminal pinentry restores the terminal on SIGTERM; SIGKILL is the last word.
    if (!exited && signalChild(SIGTERM)) exited = waitExit(kTermGraceMs, status);
    if (!exited) {
      signalChild(SIGKILL);
      if (pidfd_ >= 0) {
        waitExit(-1, status);
      } else {
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
      }
    }
    pid_ = -1;
    if (pidfd_ >= 0) ::close(pidfd_);
    pidfd_ = -1;
  }

 private:
  bool waitFor(short events) {
    for (;;) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - Clock::now()).count();
      if (left <= 0) {
        fail("pinentry did not answer within " + std::to_string(timeoutSeconds_) + " seconds");
        return false;
      }
      pollfd p{fd_, events, 0};
      int rc = ::poll(&p, 1, static_cast<int>(std::min<long long>(left, 60'000)));
      if (rc > 0) return true;
      if (rc < 0 && errno != EINTR) return false;
    }
  }

  // A child that went away mid-conversation; with nowhere to show itself, that is the likely
  // cause, and the one the person can act on.
  static std::string exitedText() {
    return nowhereToShow() ? "pinentry exited without answering (no display and no terminal)"
                           : "pinentry exited without answering";
  }

  // Waits up to `ms` for the child to exit and reaps it when it did.
  bool waitExit(int ms, int& status) {
    if (pidfd_ >= 0) {
      // Started outside: the helper reaps it; its pidfd turns readable once it has exited.
      pollfd p{pidfd_, POLLIN, 0};
      int rc;
      do {
        rc = ::poll(&p, 1, ms);
      } while (rc < 0 && errno == EINTR);
      return rc > 0;
    }
    int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
    if (pidfd >= 0) {
      pollfd p{pidfd, POLLIN, 0};
      int rc;
      do {
        rc = ::poll(&p, 1, ms);
      } while (rc < 0 && errno == EINTR);
      ::close(pidfd);
      if (rc <= 0) return false;
      while (::waitpid(pid_, &status, 0) < 0) {
        if (errno != EINTR) break;
      }
      return true;
    }
    // Kernels without pidfd: look a few times.
    for (int waited = 0; waited <= ms; waited += 10) {
      pid_t r = ::waitpid(pid_, &status, WNOHANG);
      if (r == pid_ || (r < 0 && errno == ECHILD)) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  Clock::time_point deadline_;
  int timeoutSeconds_;
  std::string failure_;
  bool signalChild(int sig) {
    if (pidfd_ >= 0) return ::syscall(SYS_pidfd_send_signal, pidfd_, sig, nullptr, 0) == 0;
    return ::kill(pid_, sig) == 0;
  }

  pid_t pid_ = -1;
  int pidfd_ = -1;  // a child the helper outside started (then pid_ stays -1)
  int fd_ = -1;
  AssuanParser parser_;
};

enum class PinResult { ok, canceled, failed };

// The error codes (low 16 bits of a gpg-error) by which a pinentry says the person said no or
// let the dialog time out: GPG_ERR_CANCELED, GPG_ERR_FULLY_CANCELED, GPG_ERR_TIMEOUT,
// GPG_ERR_ASS_CANCELED.
bool personDeclined(uint32_t code) {
  switch (code & 0xFFFF) {
    case 99:
    case 198:
    case 62:
    case 277:
      return true;
    default:
      return false;
  }
}

// GETPIN: collects the D lines into memory sized once (so nothing is left behind unwiped).
PinResult getPin(Conversation& conv, SecretString& pin, bool& repeated) {
  repeated = false;
  if (!conv.send("GETPIN")) return PinResult::failed;
  std::string collected;
  collected.reserve(kMaxPassphraseBytes);
  auto fail = [&](PinResult result) {
    sodium_memzero(collected.data(), collected.capacity());
    return result;
  };
  for (;;) {
    std::optional<AssuanLine> line = conv.readLine();
    if (!line) return fail(PinResult::failed);
    switch (line->kind) {
      case AssuanLine::Kind::data:
        if (collected.size() + line->data.size() > kMaxPassphraseBytes) return fail(PinResult::failed);
        collected.append(line->data.view());
        break;
      case AssuanLine::Kind::status:
        if (line->text == "PIN_REPEATED" || line->text.rfind("PIN_REPEATED ", 0) == 0) repeated = true;
        break;
      case AssuanLine::Kind::comment:
        break;
      case AssuanLine::Kind::inquire:
        if (!conv.send("END")) return fail(PinResult::failed);
        break;
      case AssuanLine::Kind::err:
        if (personDeclined(line->code)) return fail(PinResult::canceled);
        // Anything else means the dialog could not be shown: curses without a terminal, a
        // graphical pinentry without a display. That is no answer, not a no.
        conv.fail(nowhereToShow() ? std::string("no display and no terminal")
                                  : "pinentry failed: " + printable(line->text));
        return fail(PinResult::failed);
      case AssuanLine::Kind::ok:
        pin = SecretString(std::move(collected));
        sodium_memzero(collected.data(), collected.capacity());
        return PinResult::ok;
    }
  }
}

// The server's own terminal only: a terminal named by a client could be the agent's.
bool shareTerminal(Conversation& conv) {
  if (!::isatty(STDIN_FILENO)) return true;
  char name[256];
  if (::ttyname_r(STDIN_FILENO, name, sizeof name) != 0 || !plainOptionValue(name)) return true;
  if (!conv.command(std::string("OPTION ttyname=") + name)) return false;
  const char* term = std::getenv("TERM");
  return !term || !plainOptionValue(term) || conv.command(std::string("OPTION ttytype=") + term);
}

// The texts of the dialog, and how long it may stay open.
bool describe(Conversation& conv, const PinentryRequest& request, int timeoutSeconds) {
  // Lets a real pinentry close its own window when we stop waiting; not every one knows it.
  if (!conv.command("SETTIMEOUT " + std::to_string(timeoutSeconds))) return false;
  if (!conv.commandOk(commandLine("SETTITLE", request.title))) return false;
  if (!conv.commandOk(commandLine("SETDESC", request.description))) return false;
  if (!conv.commandOk(commandLine("SETPROMPT", request.prompt))) return false;
  return request.error.empty() || conv.commandOk(commandLine("SETERROR", request.error));
}

// Asks the pinentry to repeat the entry itself; whether it agreed, or nothing when the
// conversation broke.
std::optional<bool> offerRepeat(Conversation& conv, const PinentryRequest& request) {
  if (!request.repeat) return false;
  auto r = conv.command(commandLine("SETREPEAT", request.repeatPrompt));
  if (!r) return std::nullopt;
  bool nativeRepeat = r->kind == AssuanLine::Kind::ok;
  if (nativeRepeat && !request.repeatError.empty()) {
    if (!conv.command(commandLine("SETREPEATERROR", request.repeatError))) return std::nullopt;
  }
  return nativeRepeat;
}

// Reads the passphrase, twice when a repetition is wanted that the pinentry did not confirm:
// a new vault's passphrase must never rest on a single typing. `unavailable` when the
// conversation broke.
PinentryReply::Status askForPin(Conversation& conv, const PinentryRequest& request, bool nativeRepeat,
                                SecretString& out) {
  using Status = PinentryReply::Status;
  constexpr int kRepeatRounds = 3;
  for (int round = 0; round < kRepeatRounds; ++round) {
    SecretString pin;
    bool repeated = false;
    PinResult result = getPin(conv, pin, repeated);
    if (result == PinResult::failed) return Status::unavailable;
    if (result == PinResult::canceled) return Status::canceled;
    if (!request.repeat || (nativeRepeat && repeated)) {
      out = std::move(pin);
      return Status::ok;
    }
    if (!conv.commandOk(commandLine("SETPROMPT", request.repeatPrompt))) return Status::unavailable;
    if (!conv.commandOk("SETERROR")) return Status::unavailable;
    SecretString again;
    result = getPin(conv, again, repeated);
    if (result == PinResult::failed) return Status::unavailable;
    if (result == PinResult::canceled) return Status::canceled;
    if (pin.size() == again.size() && sodium_memcmp(pin.data(), again.data(), pin.size()) == 0) {
      out = std::move(pin);
      return Status::ok;
    }
    if (!conv.commandOk(commandLine("SETPROMPT", request.prompt))) return Status::unavailable;
    if (!conv.commandOk(commandLine("SETERROR", request.repeatError))) return Status::unavailable;
  }
  return Status::canceled;
}

}  // namespace

PinentryClient::Program PinentryClient::locate() {
  using Status = Program::Status;
  const char* configured = std::getenv("CASKEL_PINENTRY");
  if (configured && *configured) {
    // A relative setting would resolve against whatever directory the server was started in.
    if (*configured != '/') return {Status::relativeSetting, {}};
    auto path = findExecutable(configured);
    return path ? Program{Status::found, *path} : Program{Status::settingNotExecutable, {}};
  }
  auto path = findExecutable("pinentry");
  return path ? Program{Status::found, *path} : Program{Status::notFound, {}};
}

std::string PinentryClient::Program::whyMissing() const {
  switch (status) {
    case Status::found:
      return {};
    case Status::relativeSetting:
      return "CASKEL_PINENTRY is not an absolute path";
    case Status::settingNotExecutable:
      return "CASKEL_PINENTRY does not name an executable file";
    case Status::notFound:
      break;
  }
  return "no pinentry program found";
}

PinentryClient::PinentryClient(std::string program, int timeoutSeconds, std::string whyMissing)
    : program_(std::move(program)), whyMissing_(std::move(whyMissing)), timeoutMs_(timeoutSeconds * 1000) {}

PinentryClient::PinentryClient(const Program& program, int timeoutSeconds)
    : PinentryClient(program.path, timeoutSeconds, program.whyMissing()) {}

PinentryClient::PinentryClient(int timeoutSeconds) : PinentryClient(locate(), timeoutSeconds) {}

bool PinentryClient::available() {
  return !program_.empty();
}

std::string PinentryClient::unavailableReason() {
  if (!program_.empty()) return {};
  return whyMissing_.empty() ? std::string("no pinentry program found") : whyMissing_;
}

PinentryReply PinentryClient::getPassphrase(const PinentryRequest& request) {
  PinentryReply reply;
  reply.status = PinentryReply::Status::unavailable;
  if (program_.empty()) {
    reply.reason = whyMissing_.empty() ? std::string("no pinentry program found") : whyMissing_;
    return reply;
  }

  Conversation conv(Clock::now() + std::chrono::milliseconds(timeoutMs_), timeoutMs_ / 1000);
  auto unavailable = [&] {
    reply.reason = conv.failure();
    return reply;
  };
  if (!conv.spawn(program_)) return unavailable();
  auto greeting = conv.readLine();
  if (!greeting) return unavailable();
  if (greeting->kind != AssuanLine::Kind::ok) {
    conv.fail("pinentry does not speak the Assuan protocol");
    return unavailable();
  }
  if (!shareTerminal(conv) || !describe(conv, request, timeoutMs_ / 1000)) return unavailable();
  std::optional<bool> nativeRepeat = offerRepeat(conv, request);
  if (!nativeRepeat) return unavailable();

  SecretString pin;
  reply.status = askForPin(conv, request, *nativeRepeat, pin);
  if (reply.status == PinentryReply::Status::unavailable) return unavailable();
  if (reply.status == PinentryReply::Status::ok) reply.pin = std::move(pin);
  conv.finish(true);
  return reply;
}

}  // namespace caskel
