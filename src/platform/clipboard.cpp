#include "platform/clipboard.h"

#include <sodium.h>

#include <array>
#include <cstdlib>
#include <mutex>

#include "platform/child_process.h"

namespace caskel {

namespace {

constexpr std::chrono::milliseconds kToolTimeLimit{5000};

bool envSet(const char* name) {
  const char* value = std::getenv(name);
  return value && *value;
}

// The desktop has no change counter, so one is kept here: each of our own writes moves it, and
// so does finding text other than what we last saw. Only a keyed hash of that text is kept,
// never the text (the clipboard may hold a secret).
class ToolClipboard final : public Clipboard {
 public:
  explicit ToolClipboard(Commands commands) : commands_(std::move(commands)) {
    static const bool sodiumReady = sodium_init() >= 0;
    (void)sodiumReady;
    randombytes_buf(hashKey_.data(), hashKey_.size());
  }
  ~ToolClipboard() override { sodium_memzero(hashKey_.data(), hashKey_.size()); }

  bool setText(const std::string& text) override {
    if (!run(commands_.copy, text)) return false;
    std::lock_guard lock(mutex_);
    ++count_;
    seen_ = hash(text);
    return true;
  }

  std::optional<std::string> text() override {
    if (commands_.paste.empty()) return std::nullopt;
    ChildOptions options;
    options.captureOutput = true;
    options.timeLimit = kToolTimeLimit;
    std::vector<std::string> args(commands_.paste.begin() + 1, commands_.paste.end());
    ChildResult result = runChild(commands_.paste.front(), args, options);
    if (!result.succeeded()) {
      sodium_memzero(result.output.data(), result.output.size());
      return std::nullopt;
    }
    return std::move(result.output);
  }

  void clear() override {
    bool done = commands_.clear.empty() ? run(commands_.copy, "") : run(commands_.clear, std::nullopt);
    if (!done) return;
    std::lock_guard lock(mutex_);
    ++count_;
    seen_ = hash("");
  }

  int64_t changeCount() override {
    std::optional<std::string> current = text();
    uint64_t h = hash(current ? *current : std::string());
    if (current) sodium_memzero(current->data(), current->size());
    std::lock_guard lock(mutex_);
    if (seen_ && *seen_ != h) ++count_;
    seen_ = h;
    return count_;
  }

 private:
  bool run(const std::vector<std::string>& command, std::optional<std::string_view> input) {
    if (command.empty()) return false;
    ChildOptions options;
    options.input = input;
    options.timeLimit = kToolTimeLimit;
    std::vector<std::string> args(command.begin() + 1, command.end());
    return runChild(command.front(), args, options).succeeded();
  }

  uint64_t hash(const std::string& text) const {
    std::array<unsigned char, crypto_shorthash_BYTES> out{};
    crypto_shorthash(out.data(), reinterpret_cast<const unsigned char*>(text.data()), text.size(),
                     hashKey_.data());
    uint64_t h = 0;
    for (unsigned char b : out) h = (h << 8) | b;
    return h;
  }

  Commands commands_;
  std::array<unsigned char, crypto_shorthash_KEYBYTES> hashKey_{};
  std::mutex mutex_;
  int64_t count_ = 0;
  std::optional<uint64_t> seen_;
};

// No display: nothing can be put on a clipboard.
class NoClipboard final : public Clipboard {
 public:
  bool setText(const std::string&) override { return false; }
  std::optional<std::string> text() override { return std::nullopt; }
  void clear() override {}
  int64_t changeCount() override { return 0; }
};

}  // namespace

std::unique_ptr<Clipboard> Clipboard::withCommands(Commands commands) {
  return std::make_unique<ToolClipboard>(std::move(commands));
}

std::unique_ptr<Clipboard> Clipboard::system() {
  if (envSet("WAYLAND_DISPLAY") && findExecutable("wl-copy") && findExecutable("wl-paste")) {
    return withCommands({{"wl-copy"}, {"wl-paste", "--no-newline"}, {"wl-copy", "--clear"}});
  }
  if (envSet("DISPLAY")) {
    if (findExecutable("xclip")) {
      return withCommands(
          {{"xclip", "-selection", "clipboard", "-in"}, {"xclip", "-selection", "clipboard", "-out"}, {}});
    }
    if (findExecutable("xsel")) {
      return withCommands({{"xsel", "--clipboard", "--input"},
                           {"xsel", "--clipboard", "--output"},
                           {"xsel", "--clipboard", "--clear"}});
    }
  }
  return std::make_unique<NoClipboard>();
}

}  // namespace caskel
