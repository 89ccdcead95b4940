#include "app/agent_instructions.h"

#include <set>

#include "base/key_path.h"
#include "base/verification_commands.h"

namespace caskel {

namespace {

// Everything up to the self-check; the self-check, made of the commands that `caskel verify`
// prints and the onboarding screen runs (base/verification_commands.h); then the rest, up to and
// including the "**Available prefixes:**" line.
constexpr const char* kBodyStart = R"md(## Credential Management (`caskel`)

**IMPORTANT — Before using ANY caskel command for the first time, you MUST run the security verification below.** This is mandatory, not optional. Do not skip it.

Use `caskel` (installed at `~/.local/bin/caskel`) for managing all credentials: API keys, tokens, passwords, client secrets, usernames, recovery codes, certificates and any other sensitive values. Credentials are stored in the Caskel vault (encrypted with your passphrase), and every read is protected by your vault passphrase. Other programs cannot read them without your passphrase.

**Commands:**
- `caskel ls [prefix]` — List stored items (no values shown, passphrase). Add `--json` for machine-readable output with metadata.
- `caskel get <org/proj/KEY>` — Returns `source '/tmp/...'` pointing to a self-deleting encrypted script. Safe for agents — raw value never appears. Use with `eval "$(caskel get key)"`. Passphrase prompt.
- `caskel get <org/proj/KEY> --copy` — Copy raw value to clipboard (clears in 30s). **Blocked for AI agents.**
- `caskel get <org/proj/KEY> --raw` — Raw value to stdout. **Blocked for AI agents.** Use only in shell substitution: `cmd --key "$(caskel get key --raw)"`
- `caskel peek <org/proj/KEY>` — Show the first characters (passphrase): at most 8, never more than a quarter of the value, none for short or strict values. Safe to run — only a prefix is returned. Use to verify a value was stored correctly after `caskel set`.
- `caskel set <org/proj/KEY> --clipboard` — Store a value from the user's clipboard (see below)
- `caskel rm <org/proj/KEY>` — Delete an item (passphrase prompt)
- `caskel load <org/proj>` — Print `export KEY=value` for all keys in prefix. **Blocked for AI agents.**
- `caskel env <org/proj>` — Print `KEY=value` for all keys in prefix. **Blocked for AI agents.**
- `caskel export <org/proj> <file>` — Write .env file. **Blocked for AI agents.**
- `caskel run [--only KEY]... <org/proj> -- <command> [args]` — Run a command with the prefix's keys in its environment; values are never printed (redacted from the command's output for AI agents). Safe for agents.
- `caskel import <org/proj> <file>` — Bulk import from .env file (passphrase)
- `caskel meta <org/proj/KEY> --type=T --bundle=B --expires=YYYY-MM-DD` — Tag items with metadata (passphrase)
- `caskel bundle ls <org/proj>` — List bundles in a prefix
- `caskel bundle load <org/proj/BUNDLE>` — Print `export KEY=value` for bundled keys
- `caskel unlock <org/proj>` — Unlock a prefix for the session (one passphrase prompt, then no auth needed)
- `caskel lock [org/proj]` — Lock a prefix (or all if omitted)
- `caskel session` — Show which prefixes are currently unlocked
- `caskel strict <org/proj/KEY>` — Mark key as strict (always requires the passphrase, never session-cached). Can also be toggled in the app's Add/Edit views.
- `caskel unstrict <org/proj/KEY>` — Remove strict mode. Can also be toggled in the app's Add/Edit views.
- `caskel rotate <org/proj/KEY>` — Interactive guided secret rotation workflow
- `caskel guard` — DLP scan: pipe text through to check for leaked secret values (used as Claude Code PostToolUse hook)
- `caskel setup` — Print these instructions and offer to install `caskel guard` as a post-tool hook
- `caskel config` — Show/set per-prefix auto-unlock timeout settings
- `caskel scan [path]` — Scan a directory for .env files and interactively import them into caskel. Defaults to current directory, scans 3 levels deep. Skips .env.example/.env.template/.env.sample.
- `caskel verify` — Print security verification commands (uses Linux system tools)
- `caskel update` — Install the caskel tool that matches the running server at `~/.local/bin/caskel`

**Supported credential types** (use with `--type=`):
`api_key`, `client_id`, `client_secret`, `token`, `password`, `username`, `recovery_code`, `certificate`, `dsn`, `other`

**Session unlock (for local development):**
When credentials will be used repeatedly (builds, tests, dev servers), suggest unlocking the prefix:
- Ask the user: "I'll need to access credentials in `<prefix>` during this session. Want me to unlock them so you only need the passphrase prompt once?"
- If yes, run `caskel unlock <org/proj> --timeout=Xh` (one passphrase prompt unlocks all items in that prefix).
- **Be generous with the timeout** — use `--timeout=8h` for a full work session, `--timeout=2h` for quick tasks. Default is 4h if omitted.
- The prompt tells the user how many credentials will be unlocked and for how long.
- After unlock, `caskel get`, `caskel set` and `caskel rm` work without the passphrase prompt for that prefix.
- The session auto-locks after the timeout or when Caskel quits.
- `caskel lock <org/proj>` locks early; `caskel lock` locks everything.
- Credentials are cached in Caskel's memory only — nothing is written to disk.
- `caskel get` stays safe when unlocked: it still returns an encrypted snippet, never the raw value.

**Storing credentials (IMPORTANT — read carefully):**
Use `caskel set <key> --clipboard`. It reads the value from the user's clipboard and clears the clipboard afterwards, so the value is never shown in the conversation or the terminal.
1. Ask the user to copy the credential value to their clipboard.
2. Tell the user: "The value will be read directly from your clipboard — I won't have access to it and it won't appear in our conversation."
3. After the user confirms, run `caskel set <org/proj/KEY> --clipboard`.
4. The passphrase prompt is shown to the user.
5. **ALWAYS verify** right after storing: run `caskel peek <org/proj/KEY>` and check that the first characters match the expected format (e.g. `sk-proj-` for an OpenAI key, `ghp_` for a GitHub token, the first letters of the name for a username). If the prefix looks wrong (e.g. shows `--cli...` or garbage), delete it with `caskel rm <org/proj/KEY>` and retry.
6. Tag the type: `caskel meta <org/proj/KEY> --type=api_key` (or another type).

Do NOT ask the user to paste the value in chat. Never pass the actual value as an argument to `caskel set`.

**Storing username/password pairs:**
- Command line: store two items with the same prefix, `org/proj/SERVICE_USERNAME` and `org/proj/SERVICE_PASSWORD`, tagged `--type=username` and `--type=password`.
- Structured storage: the app's "Login" credential type stores username and password as one JSON-encoded vault entry with type `login`.

**Storing recovery codes:**
- Command line: one item holding all codes, one per line, tagged `--type=recovery_code`, e.g. `caskel set org/proj/GITHUB_RECOVERY_CODES --clipboard --type=recovery_code`.
- Structured storage: the app's "Recovery Codes" credential type stores the codes as a JSON array with type `recovery_code`.

**Preventing credential leakage — enforced by Caskel:**
Caskel detects AI agent callers (Claude, Codex, Cursor, Windsurf) by inspecting the full process tree and **hard-blocks** commands that would leak secrets:
- `caskel get --raw` and `caskel get --copy` are **blocked for agents** and exit with an error.
- `caskel load`, `caskel env`, `caskel export` and `caskel bundle load` are **blocked for agents** and exit with an error.
- `caskel get <key>` (default) is **safe for agents**: it returns an encrypted, self-deleting script to source.
- `caskel run <org/proj> -- <command>` is **safe for agents**: the values go only into the command's environment and are redacted from its output.
- `caskel ls` and `caskel peek` are always safe.
- `caskel guard` is a DLP scan, configured as a PostToolUse hook.
- **NEVER read, cat, head, tail, or print files containing credentials**
- **NEVER output, echo, or log credential values**
- **NEVER store credential values in memory, notes, or any persistent context**
- **NEVER eval a `caskel get` snippet and then echo the resulting variable**

If a tool result accidentally contains a credential value, do not repeat it: warn the user and move on.

**Expiry dates:**
- Set an expiry when a credential has one: `--expires=YYYY-MM-DD` on `caskel set` or `caskel meta`.
- `caskel ls` warns about expired items and items expiring within 14 days.
- When you see `EXPIRED(...)` or `EXPIRES-SOON(...)` in its output, warn the user and offer to help rotate or renew the credential.
- Ask about expiry dates for services that rotate keys.

**Choosing the correct prefix (IMPORTANT):**
- Run `caskel ls` before storing to see the existing prefixes.
- Match the prefix to the current project (e.g. in a project named `acme-web`, use its existing `acme/web/` prefix).
- Use `shared/` only for credentials genuinely shared across projects (e.g. `shared/CLOUDFLARE_API_TOKEN`).
- If unsure, ask the user. Never guess.

)md";

// After the self-check.
constexpr const char* kBodyEnd = R"md(After the verification passes, save a note that Caskel was verified (`[caskel-verified]`) so you don't repeat it every conversation. If `[caskel-verified]` is found in the project's CLAUDE.md or in your memory, skip re-verification.

**Available prefixes:**
)md";

std::string verificationSteps() {
  const auto checks = verification::checks();
  auto command = [&](size_t row) {
    return "`" + verification::commandLine(checks[row].arguments, verification::kServerPidLookup) + "`";
  };
  return "**MANDATORY first-use security verification:**\n"
         "The first time you use Caskel, you MUST walk the user through this verification before any other caskel "
         "command. Do NOT run `caskel get` or any other credential command until it passes.\n"
         "\n"
         "Step 1 — Tell the user:\n"
         "\"Before using Caskel, I'll verify its security with Linux's own system tools — not Caskel's code.\"\n"
         "\n"
         "Step 2 — Check that the app cannot reach any network:\n"
         "Run: " + command(0) + "\n"
         "- If the only device listed below the two header lines is `lo`, tell the user that the Caskel server "
         "runs in a network namespace of its own, where the kernel gave it no network device but loopback — it "
         "has no route to any network.\n"
         "- If other devices are listed (such as `eth0` or `wlan0`): **STOP.** Tell the user that the Caskel "
         "server shares the machine's network (its start-up output has a line beginning \"Caskel: \" that says "
         "why), and that you will not use Caskel until it is resolved.\n"
         "- If it reports `No such file or directory`, no Caskel server is running: tell the user, ask them to "
         "start it (the Caskel app, or `caskeld`), then repeat this step.\n"
         "\n"
         "Step 3 — Check that the app runs sandboxed:\n"
         "Run: " + command(1) + "\n"
         "- If it shows `NoNewPrivs: 1` and `Seccomp: 2`, tell the user that the server also runs under a kernel "
         "seccomp filter that forbids every socket except local Unix sockets — enforced by the kernel.\n"
         "- Otherwise: **STOP.** Tell the user that the server is running without its kernel network lock, that "
         "this is unexpected, and that you will not use Caskel until it is resolved. Do not run any caskel "
         "command.\n"
         "\n"
         "Step 4 — Confirm zero active network connections:\n"
         "Run: " + command(4) + "\n"
         "- If it prints only header lines (beginning `sl  local_address`): \"Confirmed — Caskel has zero open "
         "network connections.\"\n"
         "- If it prints any other line: **STOP.** Tell the user that the server has unexpected network "
         "connections. Do not proceed.\n"
         "\n"
         "Step 5 — Summarize and proceed:\n"
         "\"All verified — the Caskel server has no network device, is locked out of the network by the kernel "
         "and has no network connections, so your secrets stay on this machine. These checks used Linux's own "
         "tools (pgrep, cat and grep on /proc), not Caskel's code.\"\n"
         "\n";
}

constexpr const char* kNoPrefixes = "- (none yet — add credentials to see prefixes here)";

}  // namespace

std::string availablePrefixesList(const std::vector<SecretInfo>& accounts) {
  std::set<std::string> folders;
  for (const auto& info : accounts) {
    std::string folder = folderOf(info.account);
    if (!folder.empty()) folders.insert(std::move(folder));
  }
  if (folders.empty()) return kNoPrefixes;
  std::string out;
  for (const auto& folder : folders) {
    if (!out.empty()) out += '\n';
    out += "- `" + folder + "/`";
  }
  return out;
}

std::string agentInstructions(const std::vector<SecretInfo>& accounts) {
  return std::string(kBodyStart) + verificationSteps() + kBodyEnd + availablePrefixesList(accounts);
}

}  // namespace caskel
