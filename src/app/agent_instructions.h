#pragma once

#include <string>
#include <vector>

#include "store/secret_metadata.h"

namespace caskel {

// The Markdown document that teaches an AI coding agent to use the caskel tool, ending with
// the folders that hold the given accounts.
std::string agentInstructions(const std::vector<SecretInfo>& accounts);

// The "**Available prefixes:**" list alone: one "- `folder/`" line per folder, sorted and
// unique, or the placeholder line when there is none; never ends with a line feed.
std::string availablePrefixesList(const std::vector<SecretInfo>& accounts);

}  // namespace caskel
