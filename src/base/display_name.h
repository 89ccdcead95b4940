#pragma once

#include <string_view>

namespace caskel {

// Whether an X11 display name (the value of DISPLAY) is reached over the network: a host part
// before the last ':' other than none, "unix" or a local socket path ("localhost:10.0" of SSH
// forwarding, "host:0", "[::1]:0"). Such a display needs TCP, which the network filter forbids.
bool displayReachedOverNetwork(std::string_view display);

}  // namespace caskel
