#pragma once

// Stand-ins shared by the screens' benchmarks: a store that only lists what was put into it,
// so that no value is ever read, and a clipboard that takes everything and keeps nothing.

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/status_code.h"
#include "platform/clipboard.h"
#include "platform/credential_store.h"

namespace caskel::bench {

class ListingStore : public CredentialStore {
 public:
  int32_t put(const std::string&, const std::string& account, std::string_view,
              const std::optional<std::string>& generic, bool) override {
    items_.push_back({account, generic});
    return status::kSuccess;
  }
  int32_t copyAttributes(const std::string&, const std::string&, CredentialItem&) override {
    return status::kItemNotFound;
  }
  int32_t copyAllAttributes(const std::string&, std::vector<CredentialItem>& out) override {
    out = items_;
    return status::kSuccess;
  }
  int32_t copyValue(const std::string&, const std::string&, AuthContext&, SealedValue&) override {
    return status::kItemNotFound;
  }
  int32_t copyAllValues(const std::string&, std::string_view, AuthContext&,
                        std::map<std::string, SealedValue>&) override {
    return status::kItemNotFound;
  }
  int32_t remove(const std::string&, const std::string&) override { return status::kItemNotFound; }

 private:
  std::vector<CredentialItem> items_;
};

class NoClipboard : public Clipboard {
 public:
  bool setText(const std::string&) override { return true; }
  std::optional<std::string> text() override { return std::nullopt; }
  void clear() override {}
  int64_t changeCount() override { return 0; }
};

}  // namespace caskel::bench
