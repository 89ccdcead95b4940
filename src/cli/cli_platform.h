#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The few operating-system calls the caskel tool makes, kept here so that the commands read as
// logic. The tool is its own lean program and shares no code with the server.
namespace caskel::cli {

std::optional<std::string> envVar(const char* name);  // nullopt when unset or empty
unsigned currentUid();
// $HOME when set, else the password database (looked up only then: start-up stays lean).
std::string homeDir();
bool isTerminal(int fd);

bool writeAll(int fd, std::string_view data);
// Everything until end of stream; nullopt on a read error or beyond `limit` bytes.
std::optional<std::string> readAll(int fd, size_t limit);
// One read: the byte count, 0 at end of stream, -1 on error.
long readChunk(int fd, char* buf, size_t size);
// Overwrites a string's bytes before it is dropped.
void wipe(std::string& text);

// One line from a terminal with echo off; the terminal is restored also when the user
// interrupts. Nullopt at end of input.
std::optional<std::string> readHiddenLine(int fd);
// One visible line (for yes/no and prefix questions); nullopt at end of input.
std::optional<std::string> readLine(int fd);

// Not dumpable (no ptrace attach, no /proc/PID/mem by other processes of the user) and no core
// files, so that a value this process holds cannot be copied out of it. Children that exec
// start dumpable again, as their own programs.
void hardenProcess();

// The server tells who asks by reading /proc/PID/exe, cwd and environ of the connecting
// process and its ancestors, and a server without privileges may read those only of a
// dumpable process: it refuses a caller it cannot identify. So while one of these lives (one
// exchange, from connect until the reply is in) a hardened process is dumpable again; outside
// exchanges, which is where `run` waits for its command and every command handles the value
// it got, it is not. No effect in a process that was never hardened.
class IdentifiableToServer {
 public:
  IdentifiableToServer();
  ~IdentifiableToServer();
  IdentifiableToServer(const IdentifiableToServer&) = delete;
  IdentifiableToServer& operator=(const IdentifiableToServer&) = delete;
};

// What lstat says of a path itself (a symbolic link is not followed).
struct PathFacts {
  bool isDirectory = false;
  bool isSymlink = false;
  unsigned uid = 0;
  unsigned mode = 0;  // permission bits, 07777
};
// Nullopt with `err` set to errno when the path cannot be inspected.
std::optional<PathFacts> pathFacts(const std::string& path, int& err);

// Unix stream socket to `path`; -1 with `err` set to errno on failure.
int connectUnixSocket(const std::string& path, int& err);
// The user the process at the other end of a connected Unix socket ran as when it began to
// listen (SO_PEERCRED); nullopt with `err` set when the kernel cannot say.
std::optional<unsigned> peerUid(int fd, int& err);
// The process that listens at the other end of a connected Unix socket (SO_PEERCRED).
std::optional<int> peerPid(int fd);
void shutdownWrite(int fd);
void setReceiveTimeout(int fd, int seconds);
void closeFd(int fd);
std::string errnoText(int err);

// A directory only this user can use: created 0700 when missing; an existing one must be a real
// directory (no symbolic link) owned by this user, and is narrowed to 0700 when it is wider.
bool ensurePrivateDir(const std::string& path, std::string& error);
// Creates a new file (0600) from the template path ending in XXXXXX plus `suffixLength` more
// characters, writes what `content` makes of the chosen path, and returns that path.
std::optional<std::string> writeUniqueFile(const std::string& pathTemplate, int suffixLength,
                                           const std::function<std::string(const std::string&)>& content,
                                           std::string& error);
// Replaces `path` atomically (temporary file in the same directory, fsync, rename) with `mode`.
bool writeFileAtomic(const std::string& path, std::string_view data, unsigned mode, std::string& error);
std::optional<std::string> readFile(const std::string& path, size_t limit, std::string& error);
bool pathExists(const std::string& path);
// `path` made absolute against the working directory (nothing resolved, nothing checked).
std::string absolutePath(const std::string& path);
// Whether the path (symbolic links followed) is a directory; `err` is errno when it cannot be
// inspected, 0 when it exists but is something else.
bool isDirectoryPath(const std::string& path, int& err);
// The path with symbolic links resolved when it exists (so a replaced file stays where a link
// points), else the path itself.
std::string resolvedPath(const std::string& path);
// Mode bits of an existing regular file, nullopt otherwise.
std::optional<unsigned> fileMode(const std::string& path);
bool makeDirs(const std::string& path, unsigned mode);
void removeFile(const std::string& path);

struct DirEntry {
  std::string name;
  bool isDirectory = false;  // real directories only; symbolic links count as neither
  bool isRegular = false;
};
std::vector<DirEntry> listDirectory(const std::string& path);

// This program's own path (/proc/self/exe), or nullopt.
std::optional<std::string> ownExecutable();
// The absolute path of a program: `name` itself when it holds a "/", else a search of $PATH.
std::optional<std::string> findExecutable(std::string_view name);

struct ProcessResult {
  int exitCode = -1;
  std::string output;
};
// Runs a program with `input` on its standard input; its standard output is captured when
// `captureOutput`, otherwise discarded with its standard error (clipboard tools keep a
// background child holding them, which must not hold our pipes).
std::optional<ProcessResult> runProcess(const std::vector<std::string>& argv, std::string_view input,
                                        bool captureOutput);

// Work done in the background by a grandchild detached from this process, its session and its
// standard streams, so that `$(caskel get …)` returns at once while the work waits. The child
// runs our code without exec, so it keeps a copy of our memory: it is forked when the task is
// made, which callers do before any secret is fetched, and learns what to act on only from the
// message handed to start() (a path or a digest, never a value). A task dropped without a
// message ends without running.
class DetachedTask {
 public:
  DetachedTask() = default;
  explicit DetachedTask(const std::function<void(const std::string& message)>& work);
  ~DetachedTask();
  DetachedTask(DetachedTask&& other) noexcept;
  DetachedTask& operator=(DetachedTask&& other) noexcept;
  DetachedTask(const DetachedTask&) = delete;
  DetachedTask& operator=(const DetachedTask&) = delete;

  // Lets the task run on `message` (at most kMaxMessageBytes); false when it could not be told
  // (the fork failed, or the task already started).
  bool start(std::string_view message);

  static constexpr size_t kMaxMessageBytes = 8192;

 private:
  int fd_ = -1;  // our end of the pipe the child waits on
};
void sleepSeconds(int seconds);

// A child with extra environment entries; with `pipeOutput` its standard output and error come
// back through pipes (outFd, errFd), otherwise it shares ours.
struct Child {
  int pid = -1;
  int outFd = -1;
  int errFd = -1;
};
std::optional<Child> startChild(const std::string& program, const std::vector<std::string>& argv,
                                const std::vector<std::string>& environment, bool pipeOutput,
                                std::string& error);
// Copies of our environment as NAME=value texts, with `overrides` (NAME=value) replacing or adding.
std::vector<std::string> environmentWith(const std::vector<std::string>& overrides);
// Reads both pipes until both close, handing each chunk to `sink` (1 = stdout, 2 = stderr).
void pumpChildOutput(const Child& child, const std::function<void(int, std::string_view)>& sink);
// Waits for the child; its exit code, or 128 + signal number. From its start until it is reaped,
// SIGINT, SIGTERM, SIGHUP and SIGQUIT sent to us go on to the child (to its process group when
// it leads one), so we outlive it and report it; what the terminal already sent to the group
// we share is not sent twice.
int waitChild(const Child& child);

// A file in memory holding `data`, positioned at its start, that a child inherits (it is not
// closed on exec): how bwrap takes its seccomp program. -1 with `error` set on failure.
int inheritableMemoryFile(std::string_view data, std::string& error);

int64_t nowSeconds();
// Local midnight of a calendar date as seconds since the epoch; nullopt for an impossible date.
std::optional<int64_t> localMidnight(int year, int month, int day);

}  // namespace caskel::cli
