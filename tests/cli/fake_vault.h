#pragma once

#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>

namespace caskel::test {

// Just enough of the server's commands over an in-memory map to drive the tool end to end:
// values, metadata, agent replies. Answers on the fake server's thread.
class FakeVault {
 public:
  explicit FakeVault(bool agent = false) : agent_(agent) {}
  void put(const std::string& account, const std::string& value,
           nlohmann::json meta = nlohmann::json::object());
  std::optional<std::string> value(const std::string& account) const;
  nlohmann::json meta(const std::string& account) const;
  void clear();

  nlohmann::json handle(const nlohmann::json& request);

 private:
  bool agent_;
  mutable std::mutex mutex_;
  std::map<std::string, std::pair<std::string, nlohmann::json>> items_;
};

}  // namespace caskel::test
