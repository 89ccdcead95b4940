#pragma once

#include <string>
#include <vector>

namespace CLI {
class App;
}

namespace caskel::cli {

// The tool's commands as plain data: what completion scripts, help and the command-name
// suggestion are made from, so each follows the parser's own definition of the commands.
struct CommandTree {
  struct Option {
    std::vector<std::string> names;  // "-n", "--json"
    bool takesValue = false;
    std::string description;
  };
  std::string name;
  std::string description;
  std::vector<Option> options;
  std::vector<std::string> arguments;  // positional names, in order
  std::vector<CommandTree> commands;

  // Every command, option and argument `app` defines, hidden ones left out.
  static CommandTree of(const CLI::App& app);
  // The subcommand called `name`, or nothing.
  const CommandTree* find(const std::string& name) const;
  std::vector<std::string> commandNames() const;
};

}  // namespace caskel::cli
