#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/auth_context.h"
#include "platform/secret_string.h"

namespace caskel {

// One item's clear attributes: its account and the metadata JSON kept beside the value.
struct CredentialItem {
  std::string account;
  std::optional<std::string> generic;
};

// A value with the flags sealed together with it. Unlike the clear metadata, these cannot be
// changed without re-sealing the value.
struct SealedValue {
  SecretString value;
  // Nothing for items sealed before the flag was (they go by their clear metadata).
  std::optional<bool> strict;
};

// The platform credential store: items of (service, account) -> value + metadata bytes.
// Every call returns a status number of `caskel::status` (0 on success). Writes never prompt;
// value reads need an evaluated context: an unevaluated one is evaluated first (a prompt),
// unless interaction is not allowed, which fails with kInteractionNotAllowed.
class CredentialStore {
 public:
  virtual ~CredentialStore() = default;

  // Creates or replaces the item in one transaction: on failure the old item is intact.
  // `strict` is sealed with the value.
  virtual int32_t put(const std::string& service, const std::string& account, std::string_view value,
                      const std::optional<std::string>& generic, bool strict) = 0;
  virtual int32_t copyAttributes(const std::string& service, const std::string& account,
                                 CredentialItem& out) = 0;
  // All items of the service, sorted by account in byte order.
  virtual int32_t copyAllAttributes(const std::string& service, std::vector<CredentialItem>& out) = 0;
  virtual int32_t copyValue(const std::string& service, const std::string& account, AuthContext& context,
                            SealedValue& out) = 0;
  // The values of the items whose account starts with `prefix` (all when empty); items that
  // fail to open are skipped.
  virtual int32_t copyAllValues(const std::string& service, std::string_view prefix, AuthContext& context,
                                std::map<std::string, SealedValue>& out) = 0;
  // A missing item is kItemNotFound.
  virtual int32_t remove(const std::string& service, const std::string& account) = 0;

  // The process-wide store (the vault at start-up; an in-memory fake in tests).
  static std::shared_ptr<CredentialStore> shared();
  static void setShared(std::shared_ptr<CredentialStore> store);
};

// The status a value read reports for the outcome of the prompt it had to show.
int32_t statusForOutcome(AuthOutcome outcome);

}  // namespace caskel
