#pragma once

#include <string>

namespace caskel {

// A random (version 4) UUID in its 36-character upper-case text form, e.g.
// "1B4E28BA-2FA1-41D2-883F-0016D3CCA427".
std::string makeUuid();

}  // namespace caskel
