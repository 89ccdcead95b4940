#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace caskel::fs {

// The small file operations of an append-only log. None of them follows a symbolic link at
// the path itself, so a link planted in place of the log can neither be written through nor
// be read as if it were the log.

// True when anything (file, directory, link, even a dangling one) exists at the path.
bool pathExists(const std::string& path);
// Size in bytes of what is at the path (the link itself for a link), or nothing when absent.
std::optional<uint64_t> sizeOf(const std::string& path);
bool renamePath(const std::string& from, const std::string& to);
// Opens the path for appending (created 0600, never through a link, never a FIFO or device),
// narrows its mode to 0600 and appends the bytes with one write. A short write is not retried.
// False when nothing or not everything was written.
bool appendPrivately(const std::string& path, std::string_view data);

}  // namespace caskel::fs
