#include "cli/command_examples.h"

#include <CLI/CLI.hpp>
#include <functional>
#include <string>

namespace caskel::cli {

namespace {

struct Examples {
  std::string_view path;
  const char* text;
};

// Machine-readable listings keep these shapes; fields may be added, never renamed.
constexpr Examples kExamples[] = {
    {"", R"ex(Examples:
  caskel set acme/api/OPENAI_KEY --clipboard   # store the clipboard's value
  eval "$(caskel get acme/api/OPENAI_KEY)"      # export OPENAI_KEY into this shell
  caskel run acme/api -- npm test               # a command with the folder's secrets

Run `caskel help COMMAND` for a command's options and examples.)ex"},
    {"ls", R"ex(Examples:
  caskel ls                      # every key, with its metadata
  caskel ls acme/api             # only keys under acme/api/
  caskel ls --tree               # keys as a tree of their folders
  caskel ls --json | jq -r '.[] | select(.strict) | .account'

Strict keys are marked " [strict]". --json prints an array of objects:
  {"account": "acme/api/KEY", "strict": false, and when set: "type", "bundle", "desc",
   "expires", "rotate" (text), "expired": true, "expires_soon": true}
--names and --folders print one key or folder a line; --no-prompt lists without ever asking
for the passphrase (nothing rather than a prompt), as shell completion does.)ex"},
    {"get", R"ex(Examples:
  eval "$(caskel get acme/api/OPENAI_KEY)"     # sets OPENAI_KEY in this shell
  caskel get acme/api/OPENAI_KEY --raw         # print the value (not for AI agents)
  caskel get acme/api/OPENAI_KEY --copy        # to the clipboard for 30 seconds)ex"},
    {"peek", R"ex(Examples:
  caskel peek acme/api/OPENAI_KEY              # sk-proj-...)ex"},
    {"rm", R"ex(Examples:
  caskel rm acme/api/OLD_TOKEN)ex"},
    {"meta", R"ex(Examples:
  caskel meta acme/api/OPENAI_KEY --type api_key --expires 2026-12-31
  caskel meta acme/api/OPENAI_KEY --desc=       # an empty value clears the field)ex"},
    {"strict", R"ex(Examples:
  caskel strict acme/prod/DB_PASSWORD          # every read asks for the passphrase)ex"},
    {"unstrict", R"ex(Examples:
  caskel unstrict acme/prod/DB_PASSWORD)ex"},
    {"set", R"ex(Examples:
  caskel set acme/api/OPENAI_KEY --clipboard --type api_key
  printf %s "$TOKEN" | caskel set acme/ci/TOKEN
  caskel set acme/prod/DB_PASSWORD --strict    # asks for the value, input hidden)ex"},
    {"unlock", R"ex(Examples:
  caskel unlock acme/api                       # one prompt, then reads need none for 4h
  caskel unlock acme/api --timeout=8h)ex"},
    {"lock", R"ex(Examples:
  caskel lock acme/api
  caskel lock                                  # every session)ex"},
    {"session", R"ex(Examples:
  caskel session
  caskel session --json

--json prints an array of {"prefix": "acme/api/", "count": 3}.)ex"},
    {"config", R"ex(Examples:
  caskel config                                # the time-outs
  caskel config --prefix acme/api --timeout 8h
  caskel config --remove acme/api
  caskel config --json

--json prints {"default_timeout": 14400, "timeouts": [{"prefix": "acme/api/", "timeout": 28800}]}
(seconds).)ex"},
    {"load", R"ex(Examples:
  eval "$(caskel load acme/api)"               # export every key of the folder)ex"},
    {"env", R"ex(Examples:
  caskel env acme/api                          # KEY='value' lines (not for AI agents))ex"},
    {"export", R"ex(Examples:
  caskel export acme/api .env
  caskel export acme/api .env --force          # replace an existing file)ex"},
    {"import", R"ex(Examples:
  caskel import acme/api .env)ex"},
    {"bundle", R"ex(Examples:
  caskel bundle ls acme/api
  eval "$(caskel bundle load acme/api/web)")ex"},
    {"bundle ls", R"ex(Examples:
  caskel bundle ls acme/api
  caskel bundle ls acme/api --json

Strict keys are marked " [strict]". --json prints an array of
  {"bundle": "web", "accounts": [{"account": "acme/api/KEY", "strict": false}]}.)ex"},
    {"bundle load", R"ex(Examples:
  eval "$(caskel bundle load acme/api/web)")ex"},
    {"rotate", R"ex(Examples:
  caskel rotate acme/api/OPENAI_KEY --clipboard)ex"},
    {"scan", R"ex(Examples:
  caskel scan                                  # .env files under the current folder
  caskel scan ~/src/acme)ex"},
    {"guard", R"ex(Examples:
  npm test 2>&1 | caskel guard                 # warns when output holds a stored secret
  caskel guard --strict < build.log)ex"},
    {"verify", R"ex(Examples:
  caskel verify)ex"},
    {"update", R"ex(Examples:
  caskel update)ex"},
    {"setup", R"ex(Examples:
  caskel setup
  caskel setup --yes                           # install the guard hook without asking)ex"},
    {"run", R"ex(Examples:
  caskel run acme/api -- npm test
  caskel run acme/api --only acme/api/OPENAI_KEY -- python app.py)ex"},
    {"sandbox", R"ex(Examples:
  caskel sandbox -- claude                     # the current directory is the project
  caskel sandbox --project ~/src/api -- codex
  caskel sandbox --allow ~/.cache/pip -- bash  # one more writable path)ex"},
    {"audit", R"ex(Examples:
  caskel audit on
  caskel audit show -n 50
  caskel audit off                             # asks for the passphrase
  caskel audit clear                           # asks for the passphrase)ex"},
    {"audit on", R"ex(Examples:
  caskel audit on)ex"},
    {"audit off", R"ex(Examples:
  caskel audit off)ex"},
    {"audit show", R"ex(Examples:
  caskel audit show
  caskel audit show -n 100 | grep GET)ex"},
    {"audit clear", R"ex(Examples:
  caskel audit clear)ex"},
    {"passwd", R"ex(Examples:
  caskel passwd                                # asks the old passphrase, then the new one twice)ex"},
    {"backup", R"ex(Examples:
  caskel backup ~/caskel-vault-backup.db       # still encrypted under your passphrase)ex"},
    {"restore", R"ex(Examples:
  caskel restore ~/caskel-vault-backup.db      # the current vault is kept as vault.db.bak)ex"},
    {"completion", R"ex(Examples:
  source <(caskel completion bash)             # in ~/.bashrc
  caskel completion zsh > ~/.zfunc/_caskel     # a folder on your fpath
  caskel completion fish > ~/.config/fish/completions/caskel.fish

Stored key names are offered from a listing that never asks for the passphrase.)ex"},
    {"help", R"ex(Examples:
  caskel help
  caskel help ls
  caskel help bundle ls)ex"},
};

}  // namespace

const char* examplesFor(std::string_view commandPath) {
  for (const auto& e : kExamples) {
    if (e.path == commandPath) return e.text;
  }
  return nullptr;
}

void addExamples(CLI::App& app) {
  std::function<void(CLI::App&, const std::string&)> walk = [&](CLI::App& node, const std::string& path) {
    if (const char* text = examplesFor(path)) node.footer(text);
    for (CLI::App* sub : node.get_subcommands([](CLI::App*) { return true; })) {
      walk(*sub, path.empty() ? sub->get_name() : path + " " + sub->get_name());
    }
  };
  walk(app, "");
}

}  // namespace caskel::cli
