#include "cli/cli_app.h"

#include <caskel/version.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <functional>
#include <sstream>
#include <string_view>
#include <utility>
#include <vector>

#include "cli/audit_command.h"
#include "cli/command_examples.h"
#include "cli/command_suggestion.h"
#include "cli/command_tree.h"
#include "cli/completion_script.h"
#include "cli/folder_commands.h"
#include "cli/guard_command.h"
#include "cli/rotate_command.h"
#include "cli/run_command.h"
#include "cli/sandbox_command.h"
#include "cli/scan_command.h"
#include "cli/secret_commands.h"
#include "cli/session_commands.h"
#include "cli/setup_commands.h"
#include "cli/vault_commands.h"

namespace caskel::cli {

namespace {

// Metadata options bound as text; whether each was given decides if it is sent (an empty text
// clears the field).
struct MetadataOptions {
  std::string type, bundle, desc, expires, rotate;
  CLI::Option *typeOpt = nullptr, *bundleOpt = nullptr, *descOpt = nullptr, *expiresOpt = nullptr,
              *rotateOpt = nullptr;

  void addTo(CLI::App* cmd) {
    typeOpt = cmd->add_option("--type", type, "Credential type (api_key, token, password, …)");
    bundleOpt = cmd->add_option("--bundle", bundle, "Bundle name");
    descOpt = cmd->add_option("--desc", desc, "Description");
    expiresOpt = cmd->add_option("--expires", expires, "Expiry date, YYYY-MM-DD");
    rotateOpt = cmd->add_option("--rotate", rotate, "Rotation note");
  }
  MetadataFlags flags() const {
    MetadataFlags f;
    if (typeOpt->count() > 0) f.type = type;
    if (bundleOpt->count() > 0) f.bundle = bundle;
    if (descOpt->count() > 0) f.desc = desc;
    if (expiresOpt->count() > 0) f.expires = expires;
    if (rotateOpt->count() > 0) f.rotate = rotate;
    return f;
  }
};

std::optional<std::string> given(const CLI::Option* opt, const std::string& value) {
  if (opt->count() == 0) return std::nullopt;
  return value;
}

// The tool's command line: each group of subcommands adds builders for its commands, and a
// command is built only when it is the one named (or for help and errors).
class CommandLine {
 public:
  explicit CommandLine(CliIo& io);
  int run(int argc, const char* const* argv);

 private:
  using Builders = std::vector<std::pair<std::string_view, std::function<void()>>>;
  void addCommands(std::string_view named);
  void addSecretCommands(Builders& out);
  void addSessionCommands(Builders& out);
  void addFolderCommands(Builders& out);
  void addToolCommands(Builders& out);
  void addInfoCommands(Builders& out);
  // The message for a command word that names none, or nothing when the words are commands.
  std::optional<std::string> unknownCommand(int argc, const char* const* argv);
  int help(const std::vector<std::string>& topic);
  void addVaultCommands(Builders& out);

  CliIo& io_;
  CommandContext ctx_;
  std::function<int()> action_;
  CLI::App app_;
  // Values the chosen command's options are bound to.
  std::string key, prefix, file, path;
  bool flagA = false, flagB = false, flagC = false;
  MetadataOptions metaOptions, setOptions;
  std::string timeout;
  std::string removePrefix;
  RunOptions runOptions;
  SandboxOptions sandboxOptions;
  ListOptions listOptions;
  bool json = false, asTreeFlag = false, asNamesFlag = false, asFoldersFlag = false;
  std::string action;
  int lines = kDefaultAuditLines;
  std::vector<std::string> topic;

  static constexpr int kDefaultAuditLines = 20;
};

CommandLine::CommandLine(CliIo& io)
    : io_(io), ctx_(io), app_("Caskel: secrets on your machine, safe around AI coding agents.", "caskel") {
  app_.set_version_flag("--version", std::string("caskel ") + kVersion);
  app_.set_help_all_flag("--help-all", "Show help for every command");
  // One command a run: a later word that names a command is an argument (`caskel help ls`,
  // a file called "get"), not a second command.
  app_.require_subcommand(0, 1);
}

// Keys one at a time: list, read, tag and store.
void CommandLine::addSecretCommands(Builders& out) {
  out.insert(
      out.end(),
      {
          {"ls",
           [&] {
             auto* ls = app_.add_subcommand("ls", "List stored items (no values shown)");
             ls->add_option("prefix", prefix, "Only keys under this prefix");
             ls->add_flag("--json", json, "Machine-readable output with metadata (shape below)");
             ls->add_flag("--tree", asTreeFlag, "Keys as an indented tree of their folders");
             ls->add_flag("--names", asNamesFlag, "Key names only, one a line");
             ls->add_flag("--folders", asFoldersFlag, "Folder names only, one a line");
             ls->add_flag("--no-prompt", listOptions.noPrompt,
                          "Never ask for the passphrase: list nothing rather than prompt");
             ls->callback([&] {
               using Format = ListOptions::Format;
               if (int(json) + int(asTreeFlag) + int(asNamesFlag) + int(asFoldersFlag) > 1) {
                 throw CLI::ValidationError("--json, --tree, --names and --folders go one at a time");
               }
               if (json) listOptions.format = Format::json;
               if (asTreeFlag) listOptions.format = Format::tree;
               if (asNamesFlag) listOptions.format = Format::names;
               if (asFoldersFlag) listOptions.format = Format::folders;
               action_ = [&] { return lsCommand(ctx_, prefix, listOptions); };
             });
           }},
          {"get",
           [&] {
             auto* get = app_.add_subcommand(
                 "get", "Print `source '<file>'` for a self-deleting script that sets the key");
             get->add_option("key", key, "org/proj/KEY")->required();
             get->add_flag("--raw", flagA, "Print the raw value (blocked for AI agents)");
             get->add_flag("--copy", flagB,
                           "Copy the raw value to the clipboard, cleared after 30s (blocked for AI agents)");
             get->callback([&] {
               action_ = [&] {
                 if (flagA && flagB) {
                   ctx_.error("Error: use either --raw or --copy.");
                   return kExitUsage;
                 }
                 return getCommand(ctx_, key, flagA, flagB);
               };
             });
           }},
          {"peek",
           [&] {
             auto* peek = app_.add_subcommand("peek", "Show the first 8 characters of a value");
             peek->add_option("key", key, "org/proj/KEY")->required();
             peek->callback([&] { action_ = [&] { return peekCommand(ctx_, key); }; });
           }},
          {"rm",
           [&] {
             auto* rm = app_.add_subcommand("rm", "Delete an item");
             rm->add_option("key", key, "org/proj/KEY")->required();
             rm->callback([&] { action_ = [&] { return rmCommand(ctx_, key); }; });
           }},
          {"meta",
           [&] {
             auto* metaCmd =
                 app_.add_subcommand("meta", "Tag an item with metadata (an empty value clears a field)");
             metaCmd->add_option("key", key, "org/proj/KEY")->required();
             metaOptions.addTo(metaCmd);
             metaCmd->callback(
                 [&] { action_ = [&] { return metaCommand(ctx_, key, metaOptions.flags()); }; });
           }},
          {"strict",
           [&] {
             auto* strict = app_.add_subcommand(
                 "strict", "Always require the passphrase for a key; never session-cached");
             strict->add_option("key", key, "org/proj/KEY")->required();
             strict->callback([&] { action_ = [&] { return strictCommand(ctx_, key, true); }; });
           }},
          {"unstrict",
           [&] {
             auto* unstrict = app_.add_subcommand("unstrict", "Remove strict mode from a key");
             unstrict->add_option("key", key, "org/proj/KEY")->required();
             unstrict->callback([&] { action_ = [&] { return strictCommand(ctx_, key, false); }; });
           }},
          {"set",
           [&] {
             auto* set = app_.add_subcommand(
                 "set", "Store a value from --clipboard, standard input or a hidden prompt");
             set->add_option("key", key, "org/proj/KEY")->required();
             set->add_flag("--clipboard", flagA, "Read the value from the clipboard, then clear it");
             set->add_flag("--strict", flagB, "Mark the key strict");
             set->add_flag("--no-strict", flagC, "Take strict mode off the key");
             setOptions.addTo(set);
             set->callback([&] {
               action_ = [&] {
                 if (flagB && flagC) {
                   ctx_.error("Error: use either --strict or --no-strict.");
                   return kExitUsage;
                 }
                 MetadataFlags flags = setOptions.flags();
                 if (flagB || flagC) flags.strict = flagB;
                 return setCommand(ctx_, key, flagA, flags);
               };
             });
           }},
      });
}

// Sessions and their time-outs.
void CommandLine::addSessionCommands(Builders& out) {
  out.insert(
      out.end(),
      {
          {"unlock",
           [&] {
             auto* unlock =
                 app_.add_subcommand("unlock", "Unlock a prefix for this session (one passphrase prompt)");
             unlock->add_option("prefix", prefix, "org/proj")->required();
             auto* unlockTimeout =
                 unlock->add_option("--timeout", timeout, "How long: 8h, 90m, 45s, 1h30m (default 4h)");
             // Options made here are captured by value: the builder's locals are gone by parse time.
             unlock->callback([&, unlockTimeout] {
               action_ = [&, unlockTimeout] {
                 return unlockCommand(ctx_, prefix, given(unlockTimeout, timeout));
               };
             });
           }},
          {"lock",
           [&] {
             auto* lock = app_.add_subcommand("lock", "Lock a prefix, or every session when none is given");
             auto* lockPrefix = lock->add_option("prefix", prefix, "org/proj");
             lock->callback([&, lockPrefix] {
               action_ = [&, lockPrefix] { return lockCommand(ctx_, given(lockPrefix, prefix)); };
             });
           }},
          {"session",
           [&] {
             auto* session = app_.add_subcommand("session", "Show which prefixes are unlocked");
             session->add_flag("--json", json, "Machine-readable output (shape below)");
             session->callback([&] { action_ = [&] { return sessionCommand(ctx_, json); }; });
           }},
          {"config",
           [&] {
             auto* config = app_.add_subcommand("config", "Show or set per-prefix auto-unlock time-outs");
             auto* configPrefix = config->add_option("--prefix", prefix, "Prefix to configure");
             auto* configTimeout =
                 config->add_option("--timeout", timeout, "Its time-out: 8h, 90m, 45s, 1h30m");
             auto* configRemove = config->add_option("--remove", removePrefix, "Remove a prefix's time-out");
             config->add_flag("--json", json, "Machine-readable listing (shape below)");
             config->callback([&, configPrefix, configTimeout, configRemove] {
               action_ = [&, configPrefix, configTimeout, configRemove] {
                 return configCommand(ctx_, {given(configPrefix, prefix), given(configTimeout, timeout),
                                             given(configRemove, removePrefix), json});
               };
             });
           }},
      });
}

// A prefix's keys together: shell exports, .env files, bundles.
void CommandLine::addFolderCommands(Builders& out) {
  out.insert(
      out.end(),
      {
          {"load",
           [&] {
             auto* load =
                 app_.add_subcommand("load", "Print `export KEY=value` for a prefix (blocked for AI agents)");
             load->add_option("prefix", prefix, "org/proj")->required();
             load->callback([&] { action_ = [&] { return loadCommand(ctx_, prefix, true); }; });
           }},
          {"env",
           [&] {
             auto* env = app_.add_subcommand("env", "Print `KEY=value` for a prefix (blocked for AI agents)");
             env->add_option("prefix", prefix, "org/proj")->required();
             env->callback([&] { action_ = [&] { return loadCommand(ctx_, prefix, false); }; });
           }},
          {"export",
           [&] {
             auto* exportCmd = app_.add_subcommand(
                 "export", "Write a prefix as a .env file, mode 0600 (blocked for AI agents)");
             exportCmd->add_option("prefix", prefix, "org/proj")->required();
             exportCmd->add_option("file", file, ".env file to write")->required();
             exportCmd->add_flag("--force", flagA, "Replace an existing file");
             exportCmd->callback([&] { action_ = [&] { return exportCommand(ctx_, prefix, file, flagA); }; });
           }},
          {"import",
           [&] {
             auto* importCmd =
                 app_.add_subcommand("import", "Store every entry of a .env file under a prefix");
             importCmd->add_option("prefix", prefix, "org/proj")->required();
             importCmd->add_option("file", file, ".env file to read")->required();
             importCmd->callback([&] { action_ = [&] { return importCommand(ctx_, prefix, file); }; });
           }},
          {"bundle",
           [&] {
             auto* bundle = app_.add_subcommand("bundle", "List or load bundles");
             bundle->require_subcommand(1);
             auto* bundleLs = bundle->add_subcommand("ls", "List bundles in a prefix");
             bundleLs->add_option("prefix", prefix, "org/proj")->required();
             bundleLs->add_flag("--json", json, "Machine-readable output (shape below)");
             bundleLs->callback([&] { action_ = [&] { return bundleListCommand(ctx_, prefix, json); }; });
             auto* bundleLoad = bundle->add_subcommand(
                 "load", "Print `export KEY=value` for a bundle (blocked for AI agents)");
             bundleLoad->add_option("bundle", key, "org/proj/BUNDLE")->required();
             bundleLoad->callback([&] { action_ = [&] { return bundleLoadCommand(ctx_, key); }; });
           }},
      });
}

// Everything else: rotation, scanning, the guard, setup and running programs.
void CommandLine::addToolCommands(Builders& out) {
  out.insert(
      out.end(),
      {
          {"rotate",
           [&] {
             auto* rotate = app_.add_subcommand("rotate", "Guided secret rotation");
             rotate->add_option("key", key, "org/proj/KEY")->required();
             rotate->add_flag("--clipboard", flagA, "Read the new value from the clipboard, then clear it");
             rotate->callback([&] { action_ = [&] { return rotateCommand(ctx_, key, flagA); }; });
           }},
          {"scan",
           [&] {
             auto* scan =
                 app_.add_subcommand("scan", "Find .env files (3 levels deep) and offer to import them");
             scan->add_option("path", path, "Folder to scan (default: the current one)");
             scan->callback([&] { action_ = [&] { return scanCommand(ctx_, path); }; });
           }},
          {"guard",
           [&] {
             auto* guard =
                 app_.add_subcommand("guard", "Pass text through and warn when it holds a stored secret");
             guard->add_flag("--strict", flagA, "Exit 1 when something is found");
             guard->add_flag("--hook", flagB,
                             "Read an agent's post-tool hook event instead (Claude Code PostToolUse): exit 2 "
                             "naming the keys whose values the tool's output holds");
             guard->callback([&] {
               action_ = [&] { return flagB ? guardHookCommand(ctx_) : guardCommand(ctx_, flagA); };
             });
           }},
          {"verify",
           [&] {
             auto* verify = app_.add_subcommand("verify", "Print the security verification commands");
             verify->callback([&] { action_ = [&] { return verifyCommand(ctx_); }; });
           }},
          {"update",
           [&] {
             auto* update =
                 app_.add_subcommand("update", "Install the server's caskel at ~/.local/bin/caskel");
             update->callback([&] { action_ = [&] { return updateCommand(ctx_); }; });
           }},
          {"setup",
           [&] {
             auto* setup = app_.add_subcommand(
                 "setup", "Print the agent instructions, offer the guard hook and sandboxed agent starts");
             setup->add_flag("--yes", flagA, "Install the hook without asking");
             setup->callback([&] { action_ = [&] { return setupCommand(ctx_, flagA); }; });
           }},
          {"run",
           [&] {
             auto* runCmd =
                 app_.add_subcommand("run", "Run a command with a prefix's secrets in its environment");
             runCmd->add_option("--only", runOptions.only, "Only this key (repeatable)")
                 ->allow_extra_args(false);
             runCmd->add_option("prefix", runOptions.prefix, "org/proj")->required();
             runCmd->add_option("command", runOptions.command, "The command, after --");
             runCmd->callback([&] { action_ = [&] { return runCommand(ctx_, runOptions); }; });
           }},
          {"sandbox",
           [&] {
             auto* sandbox = app_.add_subcommand(
                 "sandbox",
                 "Run an AI agent in a sandbox: read-only but its project, its own socket to Caskel");
             sandbox->add_option("--project", sandboxOptions.project,
                                 "The writable project directory (default: the current one)");
             sandbox->add_option("--allow", sandboxOptions.allow, "Another writable path (repeatable)")
                 ->allow_extra_args(false);
             sandbox->add_option("command", sandboxOptions.command, "The command, after --");
             sandbox->callback([&] { action_ = [&] { return sandboxCommand(ctx_, sandboxOptions); }; });
           }},
      });
}

// The audit log, shell completion and help.
void CommandLine::addInfoCommands(Builders& out) {
  out.insert(
      out.end(),
      {
          {"audit",
           [&] {
             auto* audit = app_.add_subcommand("audit", "Turn the audit log on or off, show or clear it");
             audit->require_subcommand(1);
             struct Action {
               const char* name;
               const char* description;
             };
             for (const Action& a : {Action{"on", "Record reads, stores, deletions and unlocks from now on"},
                                     Action{"off", "Stop recording (asks for the passphrase)"},
                                     Action{"show", "Print the newest records, oldest first"},
                                     Action{"clear", "Delete the log (asks for the passphrase)"}}) {
               auto* sub = audit->add_subcommand(a.name, a.description);
               if (std::string_view(a.name) == "show") {
                 sub->add_option("-n,--lines", lines, "How many records (default 20)")
                     ->check(CLI::PositiveNumber);
               }
               sub->callback([&, sub] {
                 action = sub->get_name();
                 action_ = [&] { return auditCommand(ctx_, action, lines); };
               });
             }
           }},
          {"completion",
           [&] {
             auto* completion = app_.add_subcommand("completion", "Print a shell completion script");
             completion->add_option("shell", file, "bash, zsh or fish")
                 ->required()
                 ->check(CLI::IsMember({"bash", "zsh", "fish"}));
             completion->callback([&] {
               action_ = [&] {
                 ctx_.out(CompletionScript::forShell(file, CommandTree::of(app_)).value_or(""));
                 return kExitOk;
               };
             });
           }},
          {"help",
           [&] {
             auto* helpCmd =
                 app_.add_subcommand("help", "Show the commands, or one command's help and examples");
             helpCmd->add_option("command", topic, "A command (and subcommand), e.g. ls or bundle ls");
             helpCmd->callback([&] { action_ = [&] { return help(topic); }; });
           }},
      });
}

// The names of the commands directly under `node`.
std::vector<std::string> subcommandNames(const CLI::App& node) {
  std::vector<std::string> names;
  for (const auto* a : node.get_subcommands([](const CLI::App*) { return true; }))
    names.push_back(a->get_name());
  return names;
}

const CLI::App* subcommandNamed(const CLI::App& node, std::string_view name) {
  auto found = node.get_subcommands([&](const CLI::App* a) { return a->get_name() == name; });
  return found.empty() ? nullptr : found.front();
}

int CommandLine::help(const std::vector<std::string>& words) {
  const CLI::App* node = &app_;
  std::string path;
  for (const auto& word : words) {
    const CLI::App* next = subcommandNamed(*node, word);
    if (!next) {
      ctx_.error(unknownCommandMessage(path, word, subcommandNames(*node)));
      return kExitUsage;
    }
    node = next;
    path += (path.empty() ? "" : " ") + word;
  }
  // The formatter directly: the app's own help() would show the help of `help` itself.
  ctx_.out(app_.get_formatter()->make_help(node, path.empty() ? "caskel" : "caskel " + path,
                                           CLI::AppFormatMode::Normal));
  return kExitOk;
}

std::optional<std::string> CommandLine::unknownCommand(int argc, const char* const* argv) {
  const CLI::App* node = &app_;
  std::string path;
  for (int i = 1; i < argc; ++i) {
    const std::string_view word = argv[i];
    // Options, and arguments of a command without subcommands, are the parser's business.
    if (word.starts_with("-") || subcommandNames(*node).empty()) return std::nullopt;
    const CLI::App* next = subcommandNamed(*node, word);
    if (!next) return unknownCommandMessage(path, word, subcommandNames(*node));
    node = next;
    path += (path.empty() ? "" : " ") + std::string(word);
  }
  return std::nullopt;
}

// The vault as a whole: its passphrase, backups and restores.
void CommandLine::addVaultCommands(Builders& out) {
  out.insert(out.end(),
             {
                 {"passwd",
                  [&] {
                    auto* passwd = app_.add_subcommand(
                        "passwd",
                        "Change the vault passphrase (asked by the passphrase prompt, old once, new twice)");
                    passwd->callback([&] { action_ = [&] { return passwdCommand(ctx_); }; });
                  }},
                 {"backup",
                  [&] {
                    auto* backup = app_.add_subcommand(
                        "backup",
                        "Copy the vault to a file, mode 0600, still encrypted under the passphrase");
                    backup->add_option("file", file, "Backup file to write")->required();
                    backup->add_flag("--force", flagA, "Replace an existing file");
                    backup->callback([&] { action_ = [&] { return backupCommand(ctx_, file, flagA); }; });
                  }},
                 {"restore",
                  [&] {
                    auto* restore = app_.add_subcommand("restore",
                                                        "Replace the vault by a backup (its passphrase is "
                                                        "asked); the old one is kept as vault.db.bak");
                    restore->add_option("file", file, "Backup file to restore")->required();
                    restore->callback([&] { action_ = [&] { return restoreCommand(ctx_, file); }; });
                  }},
             });
}

void CommandLine::addCommands(std::string_view named) {
  // Only the named command is built when there is one: building all of them costs more
  // than the whole round trip of a cached `get`. Help and errors still see every command.
  Builders commands;
  addSecretCommands(commands);
  addSessionCommands(commands);
  addFolderCommands(commands);
  addToolCommands(commands);
  addVaultCommands(commands);
  addInfoCommands(commands);
  // Completion and help describe every command.
  const bool one =
      named != "completion" && named != "help" &&
      std::any_of(commands.begin(), commands.end(), [&](const auto& c) { return c.first == named; });
  for (const auto& [name, add] : commands) {
    if (!one || name == named) add();
  }
  addExamples(app_);
}

// "--type=" means "clear the type"; the parser reads it only when split as "--type" "".
std::vector<std::string> splitEmptyOptionValues(int argc, const char* const* argv) {
  std::vector<std::string> args;
  bool afterSeparator = false;
  for (int i = 0; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--") afterSeparator = true;
    if (!afterSeparator && i > 0 && a.size() > 3 && a.starts_with("--") && a.ends_with('=') &&
        a.find('=') == a.size() - 1) {
      args.push_back(a.substr(0, a.size() - 1));
      args.emplace_back();
    } else {
      args.push_back(std::move(a));
    }
  }
  return args;
}

int CommandLine::run(int argc, const char* const* argv) {
  addCommands(argc > 1 ? std::string_view(argv[1]) : std::string_view());
  if (auto unknown = unknownCommand(argc, argv)) {
    ctx_.error(*unknown);
    return kExitUsage;
  }
  const std::vector<std::string> args = splitEmptyOptionValues(argc, argv);
  std::vector<const char*> argPointers;
  for (const auto& a : args) argPointers.push_back(a.c_str());

  try {
    app_.parse(static_cast<int>(argPointers.size()), argPointers.data());
  } catch (const CLI::ParseError& e) {
    std::ostringstream out, err;
    int code = app_.exit(e, out, err);
    io_.out(out.str());
    io_.err(err.str());
    return code == 0 ? kExitOk : kExitUsage;
  }
  if (!action_) {
    io_.err(app_.help());
    return kExitUsage;
  }
  try {
    return action_();
  } catch (const std::exception& e) {
    // Messages from the JSON library and the standard library name types and positions, not
    // the data, so they are safe to show.
    ctx_.error(std::string("Error: ") + e.what());
    return kExitFailed;
  }
}

}  // namespace

int runCli(int argc, const char* const* argv, CliIo& io) {
  CommandLine commandLine(io);
  return commandLine.run(argc, argv);
}

}  // namespace caskel::cli
