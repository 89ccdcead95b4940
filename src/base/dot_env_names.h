#pragma once

#include <string_view>

namespace caskel {

// Which names a search for a project's .env files looks at: `caskel scan` and onboarding's scan
// button, which suggests that command, must agree on them.

// Dependency, build and version-control folders, left out with their contents.
bool isSkippedScanFolder(std::string_view name);
// ".env", ".env.local", ".env.production" and the like; not the committed templates
// (".env.example", ".env.template", ".env.sample").
bool isDotEnvFileName(std::string_view name);

}  // namespace caskel
