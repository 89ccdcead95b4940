#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace caskel::cli {

struct DotEnvEntry {
  std::string key;
  std::string value;
  int line = 0;  // 1-based line where the assignment starts
};

struct DotEnvProblem {
  int line = 0;
  std::string message;  // never quotes the value
};

struct DotEnvFile {
  std::vector<DotEnvEntry> entries;  // in file order; a repeated key appears twice
  std::vector<DotEnvProblem> problems;
};

// Parses the text of a .env file. Understands blank lines, "#" comments (whole-line, and after
// whitespace following an unquoted or quoted value), an optional "export " before the name,
// spaces around "=", unquoted values, '…' (literal, may span lines), "…" (may span lines; \n \r
// \t \" \\ \$ \` escapes) and CRLF line ends. Pure function over the text; a malformed line is
// reported and skipped, never fatal.
DotEnvFile parseDotEnv(std::string_view text);

// The names a file assigns, each once, in the order of their first assignment (a key set
// twice is one key: the later value wins when it is read).
std::vector<std::string> distinctKeys(const DotEnvFile& file);

// One "KEY=\"…\"" line (with its line feed) that parseDotEnv reads back as exactly `value`.
std::string formatDotEnvLine(std::string_view key, std::string_view value);

// Names a .env file may use: a letter or "_" first, then letters, digits, "_", "." or "-".
bool isDotEnvKey(std::string_view key);

}  // namespace caskel::cli
