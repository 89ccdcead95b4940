#pragma once

#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/server_client.h"

namespace caskel::cli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

// Where a run of the tool reads and writes. The program binds it to its standard streams;
// tests bind it to strings and files.
struct CliIo {
  std::function<void(std::string_view)> out;
  std::function<void(std::string_view)> err;
  int inFd = 0;
  bool inIsTerminal = false;
  bool outIsTerminal = false;
};

// One entry of the "ls" reply.
struct ListedSecret {
  std::string account;
  std::optional<std::string> type, bundle, desc, expires, peek, rotate;
  bool strict = false;
};

// What every command needs: output, the server, and the few conversations they share.
class CommandContext {
 public:
  explicit CommandContext(CliIo& io);

  void out(std::string_view text) const { io_.out(text); }
  // One line on standard error ("caskel: " is not added: messages are whole sentences).
  void error(std::string_view line) const;
  CliIo& io() const { return io_; }
  const ServerClient& client();

  // Sends a request. A transport failure or {"ok": false} is printed and yields nullopt.
  std::optional<nlohmann::json> call(nlohmann::json request);
  // Whether the server regards this process as an AI coding agent ("version" round trip);
  // nullopt when it could not be asked (already printed).
  std::optional<bool> isAgent();
  // The refusal for commands that would show an agent a raw value; always kExitFailed.
  int refuseForAgent(std::string_view command, std::string_view alternative) const;

  // The listing, filtered to accounts under `prefix` (all when empty); nullopt when it failed.
  // Without `mayPrompt` the server answers from what it can list without asking anyone, and
  // an empty list rather than a prompt (for completion and the guard).
  std::optional<std::vector<ListedSecret>> list(std::string_view prefix, bool mayPrompt = true);
  // The listed entry of exactly `key`, asked without a prompt: an empty optional inside when
  // there is no such key, nullopt when the listing failed (already printed).
  std::optional<std::optional<ListedSecret>> find(const std::string& key);
  // Whether `key` names one item (isFullKeyPath); prints why not. Checked before a value is
  // read, so that a typo does not cost the user their clipboard.
  bool checkFullKey(const std::string& key) const;

  // A secret value typed or pasted by the person: from the clipboard, from standard input when
  // it is not a terminal, else a hidden prompt. One trailing line break is dropped. Nullopt
  // (with a message) when nothing usable came. The caller clears the clipboard once the value
  // is safely stored, so that a failed store does not lose what the user copied.
  std::optional<std::string> readSecret(bool fromClipboard, std::string_view prompt);
  void clearClipboard();
  // A yes/no question on the terminal; false without a terminal.
  bool confirm(std::string_view question);
  // A line answer on the terminal; nullopt without one.
  std::optional<std::string> ask(std::string_view question);

 private:
  CliIo& io_;
  std::optional<ServerClient> client_;
};

// The start of a value ("set" and "rotate" replies, peeks) as a confirmation shows it: on one
// line, a line break or control character becoming a visible mark, so that it cannot forge
// lines of its own.
std::string shownValueStart(std::string_view text);

// Accounts under a prefix, by text: "acme" and "acme/" both select acme/… and not acme2/….
bool isUnderPrefix(std::string_view account, std::string_view prefix);

}  // namespace caskel::cli
