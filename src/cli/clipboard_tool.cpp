#include "cli/clipboard_tool.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <cstdlib>

#include "cli/cli_platform.h"

namespace caskel::cli {

namespace {

constexpr int kClearSeconds = 30;

std::vector<std::string> shellCommand(const std::string& command) {
  return {"/bin/sh", "-c", command};
}

}  // namespace

ClipboardTool ClipboardTool::detect() {
  ClipboardTool tool;
  auto copy = envVar("CASKEL_CLIPBOARD_COPY");
  auto paste = envVar("CASKEL_CLIPBOARD_PASTE");
  if (copy || paste) {
    if (copy) tool.copy_ = shellCommand(*copy);
    if (paste) tool.paste_ = shellCommand(*paste);
    if (auto clear = envVar("CASKEL_CLIPBOARD_CLEAR")) tool.clear_ = shellCommand(*clear);
    return tool;
  }
  if (envVar("WAYLAND_DISPLAY") && findExecutable("wl-copy") && findExecutable("wl-paste")) {
    tool.copy_ = {"wl-copy"};
    tool.paste_ = {"wl-paste", "-n"};
    tool.clear_ = {"wl-copy", "--clear"};
  } else if (envVar("DISPLAY") && findExecutable("xclip")) {
    tool.copy_ = {"xclip", "-selection", "clipboard", "-in"};
    tool.paste_ = {"xclip", "-selection", "clipboard", "-out"};
  } else if (envVar("DISPLAY") && findExecutable("xsel")) {
    tool.copy_ = {"xsel", "--clipboard", "--input"};
    tool.paste_ = {"xsel", "--clipboard", "--output"};
    tool.clear_ = {"xsel", "--clipboard", "--clear"};
  }
  return tool;
}

bool ClipboardTool::copy(std::string_view text) const {
  if (copy_.empty()) return false;
  auto result = runProcess(copy_, text, false);
  return result && result->exitCode == 0;
}

std::optional<std::string> ClipboardTool::paste() const {
  if (paste_.empty()) return std::nullopt;
  auto result = runProcess(paste_, "", true);
  if (!result || result->exitCode != 0) {
    if (result) wipe(result->output);
    return std::nullopt;
  }
  return std::move(result->output);
}

bool ClipboardTool::clear() const {
  if (!clear_.empty()) {
    auto result = runProcess(clear_, "", false);
    return result && result->exitCode == 0;
  }
  return copy("");
}

DetachedTask ClipboardTool::clearLater(int seconds) const {
  const ClipboardTool tool = *this;
  return DetachedTask([tool, seconds](const std::string& expected) {
    sleepSeconds(seconds);
    auto now = tool.paste();
    // Someone copied something else meanwhile: that is theirs, leave it.
    if (now && fingerprint(*now) == expected) tool.clear();
    if (now) wipe(*now);
  });
}

std::string ClipboardTool::fingerprint(std::string_view text) {
  unsigned char d[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  EVP_Digest(text.data(), text.size(), d, &len, EVP_sha256(), nullptr);
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (unsigned int i = 0; i < len; ++i) {
    out += digits[d[i] >> 4];
    out += digits[d[i] & 15];
  }
  return out;
}

int ClipboardTool::clearDelaySeconds() {
  if (auto text = envVar("CASKEL_CLIPBOARD_CLEAR_SECONDS")) {
    int v = std::atoi(text->c_str());
    if (v >= 1 && v < kClearSeconds) return v;
  }
  return kClearSeconds;
}

}  // namespace caskel::cli
