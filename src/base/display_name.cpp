#include "base/display_name.h"

namespace caskel {

bool displayReachedOverNetwork(std::string_view display) {
  auto colon = display.find_last_of(':');
  if (colon == std::string_view::npos) return false;
  std::string_view host = display.substr(0, colon);
  return !host.empty() && host != "unix" && host.front() != '/';
}

}  // namespace caskel
