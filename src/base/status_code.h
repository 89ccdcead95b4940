#pragma once

#include <cstdint>

namespace caskel {

// Status numbers of the store, shared by the whole system as its error vocabulary. The vault
// in platform reports with them too, so they sit below every layer that uses them.
namespace status {
inline constexpr int32_t kSuccess = 0;
inline constexpr int32_t kUserCanceled = -128;
inline constexpr int32_t kAuthFailed = -25293;  // three wrong passphrases
inline constexpr int32_t kDuplicateItem = -25299;
inline constexpr int32_t kItemNotFound = -25300;
inline constexpr int32_t kInteractionNotAllowed = -25308;  // a read would need a prompt
inline constexpr int32_t kDecode = -26275;                 // sealed value does not open / wrong row
inline constexpr int32_t kKeyMaterialUnusable = -67585;    // vault key pair missing or damaged
inline constexpr int32_t kIoError = -36;                   // database could not be read or written
}  // namespace status

}  // namespace caskel
