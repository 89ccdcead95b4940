#include "app/security_check.h"

#include <algorithm>
#include <charconv>
#include <string_view>

#include "base/verification_commands.h"

namespace caskel {

namespace {

std::vector<std::string_view> lines(std::string_view text) {
  std::vector<std::string_view> out;
  while (!text.empty()) {
    size_t end = text.find('\n');
    out.push_back(text.substr(0, end));
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
  }
  return out;
}

std::string_view trim(std::string_view text) {
  size_t start = text.find_first_not_of(" \t\r");
  if (start == std::string_view::npos) return {};
  return text.substr(start, text.find_last_not_of(" \t\r") - start + 1);
}

size_t indent(std::string_view line) {
  size_t n = line.find_first_not_of(' ');
  return n == std::string_view::npos ? line.size() : n;
}

ChildResult runCheck(const ToolRunner& runner, size_t row, std::string_view pid) {
  std::vector<std::string> args = verification::withPid(verification::checks()[row].arguments, pid);
  std::string program = args.front();
  args.erase(args.begin());
  return runner(program, args);
}

constexpr const char* kPackage = "caskel";
// caskel-app comes in a package of its own.
constexpr const char* kDesktopPackage = "caskel-desktop";

// The package dpkg -S names as the executable's owner: one of Caskel's two, or none ("").
std::string owningPackage(const ChildResult& owner) {
  if (!owner.succeeded()) return {};
  for (std::string_view line : lines(owner.output)) {
    for (const char* package : {kPackage, kDesktopPackage}) {
      if (line.starts_with(std::string(package) + ": ")) return package;
    }
  }
  return {};
}

}  // namespace

SecurityCheck::SecurityCheck(ToolRunner runner, std::string executable, bool appHostsServer)
    : runner_(std::move(runner)), executable_(std::move(executable)), appHostsServer_(appHostsServer) {}

std::vector<VerifyCheck> SecurityCheck::initialRows() {
  std::vector<VerifyCheck> rows;
  for (const auto& check : verification::checks()) rows.push_back({check.label, false, ""});
  return rows;
}

bool SecurityCheck::verdict(const std::vector<VerifyCheck>& rows) {
  return rows.size() == kCount && rows[0].passed && rows[1].passed && rows[4].passed;
}

std::optional<int> SecurityCheck::serverPid(const ChildResult& pgrep) {
  if (!pgrep.succeeded()) return std::nullopt;
  auto all = lines(pgrep.output);
  if (all.empty()) return std::nullopt;
  std::string_view first = trim(all.front());
  int pid = 0;
  auto [end, ec] = std::from_chars(first.data(), first.data() + first.size(), pid);
  if (ec != std::errc() || end != first.data() + first.size() || pid <= 0) return std::nullopt;
  return pid;
}

CheckOutcome SecurityCheck::networkDevices(const ChildResult& netDev) {
  const CheckOutcome unreadable{false, "Could not read the server's network devices"};
  if (!netDev.launched || netDev.output.find("Inter-|") == std::string::npos) return unreadable;
  bool loopback = false;
  std::vector<std::string> others;
  for (std::string_view line : lines(netDev.output)) {
    size_t colon = line.find(':');
    if (line.find('|') != std::string_view::npos || colon == std::string_view::npos) continue;
    std::string_view name = trim(line.substr(0, colon));
    if (name == "lo") {
      loopback = true;
    } else if (!name.empty()) {
      others.emplace_back(name);
    }
  }
  if (!others.empty()) {
    std::string joined;
    for (const auto& name : others) joined += (joined.empty() ? "" : ", ") + name;
    return {false, "Not in a network namespace of its own — can reach the network through " + joined};
  }
  if (!loopback) return unreadable;
  return {true, "Only the loopback device — no route to any network"};
}

CheckOutcome SecurityCheck::sandbox(const ChildResult& status) {
  bool noNewPrivs = false;
  bool seccomp = false;
  for (std::string_view line : lines(status.output)) {
    size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    std::string_view key = line.substr(0, colon);
    std::string_view value = trim(line.substr(colon + 1));
    if (key == "NoNewPrivs") noNewPrivs = value == "1";
    if (key == "Seccomp") seccomp = value == "2";
  }
  if (status.launched && noNewPrivs && seccomp)
    return {true, "Runs under a kernel filter that allows local sockets only"};
  return {false, "Not sandboxed"};
}

CheckOutcome SecurityCheck::packageIntegrity(const ChildResult& owner, const ChildResult& verify) {
  if (owningPackage(owner).empty() || !verify.launched) return {false, "Development build"};
  size_t changed = 0;
  for (std::string_view line : lines(verify.output)) changed += trim(line).empty() ? 0 : 1;
  if (changed > 0) return {false, std::to_string(changed) + " package file(s) changed since installation"};
  if (!verify.succeeded()) return {false, "The package could not be verified"};
  return {true, "Every file matches the caskel package"};
}

CheckOutcome SecurityCheck::repository(const ChildResult& policy) {
  auto all = lines(policy.output);
  auto installed = std::find_if(all.begin(), all.end(),
                                [](std::string_view l) { return trim(l).starts_with("Installed:"); });
  if (!policy.launched || installed == all.end() || trim(installed->substr(installed->find(':') + 1)) == "(none)")
    return {false, "Not installed from a package"};
  // The version table marks the installed version "***"; its origins follow, indented deeper.
  auto marked = std::find_if(all.begin(), all.end(), [](std::string_view l) { return trim(l).starts_with("*** "); });
  if (marked == all.end()) return {false, "Not installed from a package"};
  const size_t versionColumn = indent(*marked) + 4;  // past "*** ", where the other versions begin
  for (auto it = marked + 1; it != all.end() && indent(*it) > versionColumn && !trim(*it).empty(); ++it) {
    std::string_view entry = trim(*it);
    size_t space = entry.find(' ');
    if (space == std::string_view::npos) continue;
    std::string_view origin = trim(entry.substr(space + 1));
    if (!origin.empty() && origin != "/var/lib/dpkg/status") return {true, "From " + std::string(origin)};
  }
  return {false, "Installed from a local file, not from a repository"};
}

CheckOutcome SecurityCheck::connections(const ChildResult& sockets) {
  size_t headers = 0;
  size_t entries = 0;
  for (std::string_view line : lines(sockets.output)) {
    if (trim(line).empty()) continue;
    (line.find("local_address") != std::string_view::npos ? headers : entries) += 1;
  }
  if (!sockets.launched || headers == 0) return {false, "Could not read the server's sockets"};
  if (entries > 0) return {false, std::to_string(entries) + " connection(s) found"};
  return {true, "No open network sockets"};
}

void SecurityCheck::run(const std::function<void(size_t row, const CheckOutcome&)>& publish) const {
  std::optional<int> pid;
  if (appHostsServer_) pid = serverPid(runner_("pgrep", {"-xo", "caskel-app"}));
  if (!pid) pid = serverPid(runner_("pgrep", {"-xo", "caskeld"}));
  const std::string pidText = pid ? std::to_string(*pid) : std::string();
  const CheckOutcome skipped{true, kNotRunning};

  publish(0, pid ? networkDevices(runCheck(runner_, 0, pidText)) : skipped);
  publish(1, pid ? sandbox(runCheck(runner_, 1, pidText)) : skipped);
  ChildResult owner;
  if (!executable_.empty()) owner = runner_("dpkg", {"-S", executable_});
  ChildResult verify = runCheck(runner_, 2, pidText);
  // caskel-app comes in a package of its own beside caskel's: both must be as installed.
  if (owningPackage(owner) == kDesktopPackage) {
    const ChildResult desktop = runner_("dpkg", {"--verify", kDesktopPackage});
    verify.output += desktop.output;
    verify.launched = verify.launched && desktop.launched;
    if (verify.succeeded() && !desktop.succeeded()) verify.exitStatus = desktop.exitStatus;
  }
  publish(2, packageIntegrity(owner, verify));
  publish(3, repository(runCheck(runner_, 3, pidText)));
  publish(4, pid ? connections(runCheck(runner_, 4, pidText)) : skipped);
}

}  // namespace caskel
