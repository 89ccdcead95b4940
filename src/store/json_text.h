#pragma once

#include <nlohmann/json.hpp>

#include <string>

namespace caskel {

// Compact JSON text as the system writes it everywhere (stored structured values, socket
// replies): no whitespace, object keys sorted, non-ASCII as plain UTF-8, every "/" written
// as "\/". Invalid UTF-8 in a string is replaced rather than failing the whole write.
// Values pass through this text (stored structured values, replies): its scratch copy is wiped.
std::string toCompactJson(const nlohmann::json& value);

// Overwrites every string value inside `value` with zero bytes, so a request or reply
// that carried a secret leaves none in freed memory.
void wipeJsonStrings(nlohmann::json& value);

}  // namespace caskel
