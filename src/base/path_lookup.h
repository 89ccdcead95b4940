#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace caskel {

// The search list used when PATH is unset or empty.
inline constexpr std::string_view kDefaultSearchPath = "/usr/local/bin:/usr/bin:/bin";

// The first directory of `searchPath` (a PATH value) where `isExecutable` accepts the file
// named `name`, as an absolute path; nothing when none does or `name` holds a "/". Empty and
// relative entries are skipped: they name whatever directory the process happens to be in,
// which whoever started it chose. The file check is the caller's, so this stays free of the OS.
std::optional<std::string> findOnPath(std::string_view name, std::string_view searchPath,
                                      bool (*isExecutable)(const std::string& path));

}  // namespace caskel
