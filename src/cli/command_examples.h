#pragma once

#include <string_view>

namespace CLI {
class App;
}

namespace caskel::cli {

// The examples shown at the end of each command's help ("" for the tool itself, "bundle ls"
// for a subcommand); nullptr for a command that has none.
const char* examplesFor(std::string_view commandPath);

// Puts each command's examples under its help, for every command `app` defines.
void addExamples(CLI::App& app);

}  // namespace caskel::cli
