#pragma once

#include <QString>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/secret_string.h"

namespace caskel {

// One line of a revealed value: a labelled field ("Key", "Username", ...) or, with no label,
// the numbered codes or the raw value.
struct RevealedRow {
  QString label;
  SecretString text;
};

// How a revealed value is shown, by the secret's stored type: the fields of an API key or a
// login, numbered recovery codes ("1. code" a line), else (or when the value does not parse
// as its type's layout) the value as it is.
std::vector<RevealedRow> revealedRows(const std::optional<std::string>& type, std::string_view value);

}  // namespace caskel
