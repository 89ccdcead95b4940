#pragma once

#include <QString>
#include <optional>
#include <string>
#include <vector>

#include "store/secret_metadata.h"

namespace caskel {

// The four metadata texts both forms edit through MetadataFields; empty means absent.
struct MetadataTexts {
  QString type;
  QString bundle;
  QString desc;
  QString expires;
  bool operator==(const MetadataTexts&) const = default;
};

// The stored fields as texts (absent as empty).
MetadataTexts metadataTextsOf(const std::optional<SecretMetadata>& metadata);

// Empty text is an absent field.
std::optional<std::string> fieldOf(const QString& text);

// Type, bundle, description and expiry from the texts; strict true when on and absent (never
// false) otherwise; no peek, no rotation note.
SecretMetadata formMetadata(const MetadataTexts& texts, bool strict);

// The metadata a listing holds for `account`; a secret without any (or not listed) counts as
// metadata with every field absent.
SecretMetadata storedMetadataFor(const std::vector<SecretInfo>& accounts, const std::string& account);

}  // namespace caskel
