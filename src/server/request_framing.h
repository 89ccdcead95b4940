#pragma once

#include <cstddef>
#include <string_view>

#include "base/protocol.h"

namespace caskel {

// A request has no length prefix and no terminator: it is complete when its bytes form one
// whole JSON object or array. Only a buffer that ends in "}" or "]" (after white space) is
// parsed, so a request arriving in many pieces costs one parse, not one per piece.
bool isCompleteRequest(std::string_view bytes);

using protocol::kMaxRequestBytes;

}  // namespace caskel
