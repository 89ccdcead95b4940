#pragma once

#include <functional>
#include <span>
#include <string>
#include <vector>

namespace caskel {

// An AI coding agent that onboarding looks for: installed when `folder` exists in the home.
struct KnownAgent {
  const char* name;
  const char* icon;    // symbol name of the screens
  const char* folder;  // relative to the home
};

std::span<const KnownAgent> knownAgents();

struct DetectedAgent {
  const KnownAgent* agent;
  bool detected = false;
};

// Every known agent, in table order, marked by whether home + "/" + folder exists.
std::vector<DetectedAgent> detectAgents(const std::string& home,
                                        const std::function<bool(const std::string&)>& exists);

}  // namespace caskel
