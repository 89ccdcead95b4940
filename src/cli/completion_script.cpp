#include "cli/completion_script.h"

#include <functional>
#include <utility>
#include <vector>

namespace caskel::cli {

namespace {

// Every command with its path ("", "ls", "bundle ls"), parents before children.
std::vector<std::pair<std::string, const CommandTree*>> commandsByPath(const CommandTree& root) {
  std::vector<std::pair<std::string, const CommandTree*>> all;
  std::function<void(const std::string&, const CommandTree&)> walk = [&](const std::string& path,
                                                                         const CommandTree& node) {
    all.emplace_back(path, &node);
    for (const auto& sub : node.commands) walk(path.empty() ? sub.name : path + " " + sub.name, sub);
  };
  walk("", root);
  return all;
}

std::string join(const std::vector<std::string>& words) {
  std::string out;
  for (const auto& w : words) out += (out.empty() ? "" : " ") + w;
  return out;
}

// Text inside single quotes, for sh and fish alike.
std::string quoted(std::string_view text, bool fish = false) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'') {
      out += fish ? "\\'" : "'\\''";
    } else if (fish && c == '\\') {
      out += "\\\\";
    } else {
      out += c;
    }
  }
  return out + "'";
}

// What an argument names: "keys", "folders", "files", "commands", "words:<list>", or "".
std::string argumentKind(const std::string& path, const std::string& name, const CommandTree& root) {
  if (path == "help") return "words:" + join(root.commandNames());
  if (name == "key") return "keys";
  if (name == "prefix" || name == "bundle") return "folders";
  if (name == "file" || name == "path") return "files";
  if (name == "command") return "commands";
  if (name == "shell") return "words:bash zsh fish";
  return "";
}

std::string optionKind(const std::string& option) {
  if (option == "--only") return "keys";
  if (option == "--prefix" || option == "--remove") return "folders";
  return "";
}

std::vector<std::string> optionNames(const CommandTree& node, bool valuedOnly) {
  std::vector<std::string> names;
  for (const auto& o : node.options) {
    if (valuedOnly && !o.takesValue) continue;
    names.insert(names.end(), o.names.begin(), o.names.end());
  }
  return names;
}

// The tables and the word walk that bash and zsh share (plain sh syntax both accept).
std::string shTables(const CommandTree& root) {
  const auto all = commandsByPath(root);
  std::string subcommands, options, valued, arguments, optionKinds;
  for (const auto& [path, node] : all) {
    if (!node->commands.empty())
      subcommands +=
          "    " + quoted(path) + ") printf '%s\\n' " + quoted(join(node->commandNames())) + " ;;\n";
    options +=
        "    " + quoted(path) + ") printf '%s\\n' " + quoted(join(optionNames(*node, false))) + " ;;\n";
    if (auto v = optionNames(*node, true); !v.empty()) {
      valued += "    " + quoted(path) + ") printf '%s\\n' " + quoted(join(v)) + " ;;\n";
    }
    for (size_t i = 0; i < node->arguments.size(); ++i) {
      std::string kind = argumentKind(path, node->arguments[i], root);
      if (!kind.empty())
        arguments +=
            "    " + quoted(path + " " + std::to_string(i)) + ") printf '%s\\n' " + quoted(kind) + " ;;\n";
    }
  }
  for (const char* option : {"--only", "--prefix", "--remove"}) {
    optionKinds += "    " + std::string(option) + ") printf '%s\\n' " + optionKind(option) + " ;;\n";
  }
  return "_caskel_subcommands() {\n  case $1 in\n" + subcommands + "  esac\n}\n" +
         "_caskel_options() {\n  case $1 in\n" + options + "  esac\n}\n" +
         "_caskel_valued() {\n  case $1 in\n" + valued + "  esac\n}\n" +
         "_caskel_argument() {\n  case \"$1 $2\" in\n" + arguments + "  esac\n}\n" +
         "_caskel_option_kind() {\n  case $1 in\n" + optionKinds + "  esac\n}\n" +
         R"sh(
# Sets _caskel_kind to what the word being typed (_caskel_cur) names, from the words before it:
# a kind ("keys", "folders", "files", "commands") or "words:" and a list.
_caskel_context() {
  local cmdpath='' nargs=0 expect='' word dashdash=0 afterdash=0
  for word in "$@"; do
    if [ -n "$expect" ]; then expect=''; continue; fi
    if [ $dashdash = 1 ]; then afterdash=$((afterdash + 1)); continue; fi
    case $word in
      --) dashdash=1; continue ;;
      -*=*) continue ;;
      -*)
        case " $(_caskel_valued "$cmdpath") " in *" $word "*) expect=$word ;; esac
        continue ;;
    esac
    if [ $nargs = 0 ]; then
      case " $(_caskel_subcommands "$cmdpath") " in
        *" $word "*) cmdpath="${cmdpath:+$cmdpath }$word"; continue ;;
      esac
    fi
    nargs=$((nargs + 1))
  done
  if [ -n "$expect" ]; then _caskel_kind=$(_caskel_option_kind "$expect"); return; fi
  if [ $dashdash = 1 ]; then
    if [ $afterdash = 0 ]; then _caskel_kind=commands; else _caskel_kind=files; fi
    return
  fi
  case $_caskel_cur in
    -*) _caskel_kind="words:$(_caskel_options "$cmdpath")"; return ;;
  esac
  if [ $nargs = 0 ] && [ -n "$(_caskel_subcommands "$cmdpath")" ]; then
    _caskel_kind="words:$(_caskel_subcommands "$cmdpath")"
    return
  fi
  _caskel_kind=$(_caskel_argument "$cmdpath" "$nargs")
}
)sh";
}

}  // namespace

std::optional<std::string> CompletionScript::forShell(std::string_view shell, const CommandTree& tree) {
  if (shell == "bash") return bash(tree);
  if (shell == "zsh") return zsh(tree);
  if (shell == "fish") return fish(tree);
  return std::nullopt;
}

std::string CompletionScript::bash(const CommandTree& tree) {
  return "# bash completion for caskel, made by `caskel completion bash`.\n" + shTables(tree) + R"sh(
# Stored names (--names or --folders) that start with the word typed; listing them never asks
# for the passphrase.
_caskel_stored() {
  local name
  while IFS= read -r name; do
    [[ $name == "$_caskel_cur"* ]] && COMPREPLY+=("$(printf '%q' "$name")")
  done < <(command caskel ls "$1" --no-prompt 2>/dev/null)
  if [ "$1" = --folders ]; then compopt -o nospace 2>/dev/null; fi
  return 0
}

_caskel() {
  local _caskel_cur=${COMP_WORDS[COMP_CWORD]} _caskel_kind=''
  _caskel_context "${COMP_WORDS[@]:1:COMP_CWORD-1}"
  COMPREPLY=()
  case $_caskel_kind in
    words:*) mapfile -t COMPREPLY < <(compgen -W "${_caskel_kind#words:}" -- "$_caskel_cur") ;;
    keys) _caskel_stored --names ;;
    folders) _caskel_stored --folders ;;
    files)
      mapfile -t COMPREPLY < <(compgen -f -- "$_caskel_cur")
      compopt -o filenames 2>/dev/null ;;
    commands) mapfile -t COMPREPLY < <(compgen -c -- "$_caskel_cur") ;;
  esac
  return 0
}
complete -F _caskel caskel
)sh";
}

std::string CompletionScript::zsh(const CommandTree& tree) {
  return "#compdef caskel\n# zsh completion for caskel, made by `caskel completion zsh`.\n" + shTables(tree) +
         R"sh(
_caskel() {
  local _caskel_cur=${words[CURRENT]} _caskel_kind='' list
  local -a names
  _caskel_context "${(@)words[2,CURRENT-1]}"
  case $_caskel_kind in
    words:*) list=${_caskel_kind#words:}; compadd -- ${=list} ;;
    keys)
      # Listing stored names never asks for the passphrase.
      names=("${(@f)$(command caskel ls --names --no-prompt 2>/dev/null)}")
      compadd -- ${names:#} ;;
    folders)
      names=("${(@f)$(command caskel ls --folders --no-prompt 2>/dev/null)}")
      compadd -S '' -- ${names:#} ;;
    files) _files ;;
    commands) _command_names -e ;;
  esac
}

if [ "$funcstack[1]" = _caskel ]; then
  _caskel "$@"
else
  compdef _caskel caskel
fi
)sh";
}

std::string CompletionScript::fish(const CommandTree& tree) {
  const auto all = commandsByPath(tree);
  std::string subcommands;
  for (const auto& [path, node] : all) {
    if (!node->commands.empty()) {
      subcommands += "        case " + quoted(path, true) + "\n            echo " +
                     quoted(join(node->commandNames()), true) + "\n";
    }
  }
  std::string text =
      "# fish completion for caskel, made by `caskel completion fish`.\n"
      "function __caskel_subcommands\n    switch \"$argv[1]\"\n" +
      subcommands + R"fish(    end
end

# The command path typed so far ("", "ls", "bundle ls").
function __caskel_path
    set -l path ''
    for t in (commandline -opc)[2..-1]
        string match -q -- '-*' $t; and continue
        if contains -- $t (string split ' ' -- (__caskel_subcommands "$path"))
            set path (string trim -- "$path $t")
        else
            break
        end
    end
    echo $path
end

function __caskel_at
    set -l path (__caskel_path)
    test "$path" = "$argv[1]"
end

# Stored names; listing them never asks for the passphrase.
function __caskel_stored
    command caskel ls $argv[1] --no-prompt 2>/dev/null
end

complete -c caskel -f
)fish";
  auto at = [](const std::string& path) { return quoted("__caskel_at " + quoted(path), true); };
  auto storedArgs = [](const std::string& kind) -> std::string {
    if (kind == "keys") return " -a '(__caskel_stored --names)'";
    if (kind == "folders") return " -a '(__caskel_stored --folders)'";
    if (kind == "files") return " -F";
    if (kind == "commands") return " -a '(__fish_complete_command)'";
    if (kind.starts_with("words:")) return " -a " + quoted(kind.substr(6), true);
    return "";
  };
  for (const auto& [path, node] : all) {
    for (const auto& sub : node->commands) {
      text += "complete -c caskel -n " + at(path) + " -a " + quoted(sub.name, true) + " -d " +
              quoted(sub.description, true) + "\n";
    }
    for (const auto& o : node->options) {
      std::string line = "complete -c caskel -n " + at(path);
      for (const auto& n : o.names)
        line += (n.starts_with("--") ? " -l " : " -s ") + n.substr(n.find_first_not_of('-'));
      if (o.takesValue) {
        line += " -r";
        for (const auto& n : o.names) {
          if (auto kind = optionKind(n); !kind.empty()) line += storedArgs(kind);
        }
      }
      text += line + " -d " + quoted(o.description, true) + "\n";
    }
    for (size_t i = 0; i < node->arguments.size(); ++i) {
      std::string args = storedArgs(argumentKind(path, node->arguments[i], tree));
      if (!args.empty()) text += "complete -c caskel -n " + at(path) + args + "\n";
    }
  }
  return text;
}

}  // namespace caskel::cli
