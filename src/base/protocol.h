#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace caskel::protocol {

// What the server and its clients agree on before the first byte is sent.

// The server reads at most this many bytes of a request.
inline constexpr size_t kMaxRequestBytes = 65536;

// The variable that names another socket (tests, a second server).
inline constexpr const char* kSocketVariable = "CASKEL_SOCKET";

// /tmp/caskel-sock-<uid>: one directory per user, checked for ownership by both sides.
std::string socketDirectory(uint32_t uid);

// `override` (the value of kSocketVariable) when set and not empty, else the default socket
// in socketDirectory(uid).
std::string defaultSocketPath(const char* override, uint32_t uid);

}  // namespace caskel::protocol
