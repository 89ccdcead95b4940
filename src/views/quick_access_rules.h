#pragma once

#include <QPoint>
#include <QRect>
#include <QSize>
#include <QString>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/secret_string.h"
#include "store/secret_metadata.h"

namespace caskel {

// The quick-access panel's rules, apart from its widgets.

// Where the panel opens: centred on the pointer with its top edge 20 px below it, kept inside
// the screen's available area; where it does not fit, its left and top edges win.
QPoint quickAccessPosition(QSize panel, QPoint pointer, QRect available);

// "Unlock 1 credential for quick access", "Unlock 3 credentials for quick access".
std::string quickAccessUnlockReason(size_t count);

// The secrets whose key contains `search` regardless of case, in their order; all for "".
std::vector<SecretInfo> quickAccessMatches(const std::vector<SecretInfo>& accounts, const QString& search);

// What a copy puts on the clipboard, by the secret's stored type: a login's password, an API
// key's primary key, recovery codes one a line; the stored value as it is for other types and
// for a value that does not parse as its type's layout.
SecretString quickAccessCopyText(const std::optional<std::string>& type, std::string_view value);

}  // namespace caskel
