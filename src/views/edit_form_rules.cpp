#include "views/edit_form_rules.h"

#include "views/date_validity.h"

namespace caskel {

SecretMetadata editFormMetadata(const MetadataTexts& texts, bool strict, const SecretMetadata& stored) {
  SecretMetadata metadata = formMetadata(texts, strict);
  metadata.rotate = stored.rotate;
  return metadata;
}

bool isEditSaveEnabled(bool hasNewValue, const SecretMetadata& form, const SecretMetadata& stored,
                       const QString& expires) {
  if (!isAcceptableExpiry(expires)) return false;
  return hasNewValue || form != stored;
}

SecretMetadata metadataForUpdate(SecretMetadata form, const SecretMetadata& stored) {
  if (!form.strict && stored.strict.value_or(false)) form.strict = false;
  return form;
}

}  // namespace caskel
