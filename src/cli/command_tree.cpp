#include "cli/command_tree.h"

#include <CLI/CLI.hpp>

namespace caskel::cli {

CommandTree CommandTree::of(const CLI::App& app) {
  CommandTree tree;
  tree.name = app.get_name();
  tree.description = app.get_description();
  for (const CLI::Option* opt : app.get_options()) {
    if (opt->get_group().empty()) continue;
    if (!opt->nonpositional()) {
      tree.arguments.push_back(opt->get_name(true));
      continue;
    }
    Option option;
    for (const auto& s : opt->get_snames()) option.names.push_back("-" + s);
    for (const auto& l : opt->get_lnames()) option.names.push_back("--" + l);
    option.takesValue = opt->get_type_size_max() > 0;
    option.description = opt->get_description();
    tree.options.push_back(std::move(option));
  }
  for (const CLI::App* sub : app.get_subcommands([](const CLI::App* a) { return !a->get_group().empty(); })) {
    tree.commands.push_back(of(*sub));
  }
  return tree;
}

const CommandTree* CommandTree::find(const std::string& wanted) const {
  for (const auto& c : commands) {
    if (c.name == wanted) return &c;
  }
  return nullptr;
}

std::vector<std::string> CommandTree::commandNames() const {
  std::vector<std::string> names;
  for (const auto& c : commands) names.push_back(c.name);
  return names;
}

}  // namespace caskel::cli
