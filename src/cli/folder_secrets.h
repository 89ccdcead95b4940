#pragma once

#include <optional>
#include <string>
#include <vector>

#include "cli/command_context.h"

namespace caskel::cli {

// A value read for a folder command; wiped when dropped.
struct FetchedSecret {
  std::string account;
  std::string name;  // the shell variable name
  std::string value;
  FetchedSecret() = default;
  FetchedSecret(const FetchedSecret&) = delete;
  FetchedSecret& operator=(const FetchedSecret&) = delete;
  FetchedSecret(FetchedSecret&&) = default;
  FetchedSecret& operator=(FetchedSecret&&) = default;
  ~FetchedSecret();
};

struct FetchedValues {
  std::vector<FetchedSecret> secrets;
  bool servedToAgent = false;  // the server answered with agent payloads
};

// The keys directly in a folder (its own keys, not those of sub-folders), so that their
// variable names are distinct; nullopt when the listing failed, with a message when empty.
std::optional<std::vector<std::string>> folderAccounts(CommandContext& ctx, const std::string& prefix);

// Reads each key with "get" (the first one opens the folder's session, the rest come from it).
// An agent's encrypted reply is decrypted here only with `decryptForAgent` (for `run`, which
// never shows the values); otherwise it fails. Two keys with one variable name: the first wins.
std::optional<FetchedValues> fetchValues(CommandContext& ctx, const std::vector<std::string>& accounts,
                                         bool decryptForAgent);

}  // namespace caskel::cli
