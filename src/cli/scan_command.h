#pragma once

#include <string>
#include <vector>

#include "cli/command_context.h"

namespace caskel::cli {

// .env files in `root` and up to two folders below it, skipping .git, node_modules, .next,
// .nuxt and DerivedData, and the .env.example/.env.template/.env.sample names. Symbolic links
// are not followed. Paths are returned sorted.
std::vector<std::string> findDotEnvFiles(const std::string& root);

// Lists what it finds (key names only) and, at a terminal, offers to import each file into a
// prefix the person types and confirms. Without a terminal it only lists.
int scanCommand(CommandContext& ctx, const std::string& root);

}  // namespace caskel::cli
