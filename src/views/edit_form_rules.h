#pragma once

#include <QString>

#include "store/secret_metadata.h"
#include "views/form_metadata.h"

namespace caskel {

// The edit form's metadata: the fields as formMetadata() builds them, plus the stored rotation
// note, which the form does not show and so must not drop.
SecretMetadata editFormMetadata(const MetadataTexts& texts, bool strict, const SecretMetadata& stored);

// Save is on when there is something to write (a new value, or metadata that differs from the
// stored one in any of its seven fields) and the expiry is empty or a valid date.
bool isEditSaveEnabled(bool hasNewValue, const SecretMetadata& form, const SecretMetadata& stored,
                       const QString& expires);

// The metadata a metadata-only update sends. The store keeps a secret strict unless told
// otherwise, so turning the toggle off on a strict secret has to say false outright.
SecretMetadata metadataForUpdate(SecretMetadata form, const SecretMetadata& stored);

}  // namespace caskel
