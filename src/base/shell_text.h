#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace caskel {

// Shell text that the server writes and the tool reads back, written once for both.

// A value in single quotes, safe to source in a POSIX shell: each ' becomes '\''.
std::string shellSingleQuote(std::string_view value);

// The variable name the server gives a key path: its last "/" piece with every character that
// is not an ASCII letter or digit made "_", and "_" in front when it starts with a digit.
std::string envVarName(std::string_view account);

// Reads the value of the "export NAME=<single-quoted words>" line of a shell fragment, the form
// the server's agent hand-off produces. Nullopt when no such line exists or its quoting is
// not the plain '…' / \' kind this tool and the server write.
std::optional<std::string> exportedValue(std::string_view fragment, std::string_view name);

}  // namespace caskel
