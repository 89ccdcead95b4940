#include "views/form_metadata.h"

namespace caskel {

namespace {

QString textOf(const std::optional<std::string>& field) {
  return field ? QString::fromStdString(*field) : QString();
}

}  // namespace

MetadataTexts metadataTextsOf(const std::optional<SecretMetadata>& metadata) {
  if (!metadata) return {};
  return {textOf(metadata->type), textOf(metadata->bundle), textOf(metadata->desc),
          textOf(metadata->expires)};
}

std::optional<std::string> fieldOf(const QString& text) {
  if (text.isEmpty()) return std::nullopt;
  return text.toStdString();
}

SecretMetadata formMetadata(const MetadataTexts& texts, bool strict) {
  SecretMetadata metadata;
  metadata.type = fieldOf(texts.type);
  metadata.bundle = fieldOf(texts.bundle);
  metadata.desc = fieldOf(texts.desc);
  metadata.expires = fieldOf(texts.expires);
  if (strict) metadata.strict = true;
  return metadata;
}

SecretMetadata storedMetadataFor(const std::vector<SecretInfo>& accounts, const std::string& account) {
  for (const SecretInfo& info : accounts) {
    if (info.account == account) return info.metadata.value_or(SecretMetadata{});
  }
  return {};
}

}  // namespace caskel
