#pragma once

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace caskel {

// How long a reply may wait for a peer that does not read it.
inline constexpr double kReplySendTimeout = 5.0;

// Writes one reply object: "ok", then "value" and "error" when given, then every entry of
// `extra` (replacing a key already set). Compact JSON with "/" escaped; a peer that is gone
// is ignored (never SIGPIPE).
void sendResponse(int fd, bool ok, const std::optional<std::string>& value = std::nullopt,
                  const std::optional<std::string>& error = std::nullopt,
                  const nlohmann::json& extra = nullptr);
// Writes an object built by a handler ("ls", "session", "config").
void sendObject(int fd, const nlohmann::json& object);

}  // namespace caskel
