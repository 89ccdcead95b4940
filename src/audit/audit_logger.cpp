#include "audit/audit_logger.h"

#include "base/utf8.h"
#include "platform/append_file.h"
#include "platform/file_system.h"
#include "platform/local_time.h"
#include "platform/uuid.h"

namespace caskel {

namespace {

// The log rotates at 1 MiB, so anything far larger was not written by this program.
constexpr size_t kMaxReadBytes = 64 * 1024 * 1024;

// The same split as "at the first space, at most two parts, empty parts omitted": leading
// spaces are skipped, the first part runs to the next space, and the remainder is everything
// after that one space (possibly empty).
bool splitOperation(std::string_view rest, std::string_view& operation, std::string_view& remainder) {
  size_t start = rest.find_first_not_of(' ');
  if (start == std::string_view::npos) return false;
  size_t end = rest.find(' ', start);
  operation = rest.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
  remainder = end == std::string_view::npos ? std::string_view{} : rest.substr(end + 1);
  return true;
}

}  // namespace

AuditLogger::AuditLogger(std::string logDir, DefaultsStore& defaults)
    : logDir_(std::move(logDir)),
      logPath_(logDir_ + "/audit.log"),
      backupPath_(logDir_ + "/audit.log.1"),
      defaults_(defaults) {}

AuditLogger::~AuditLogger() {
  flush();
}

AuditLogger& AuditLogger::shared() {
  static AuditLogger logger(fs::configDirectory(), DefaultsStore::shared());
  return logger;
}

bool AuditLogger::isEnabled() {
  return defaults_.boolValue(defaults_keys::kAuditLogEnabled).value_or(false);
}

void AuditLogger::setEnabled(bool enabled) {
  defaults_.setBool(defaults_keys::kAuditLogEnabled, enabled);
}

void AuditLogger::log(const std::string& operation, const std::optional<std::string>& account,
                      const std::string& result) {
  if (!isEnabled()) return;
  queue_.post([this, operation, account, result] { write(operation, account, result); });
}

void AuditLogger::write(const std::string& operation, const std::optional<std::string>& account,
                        const std::string& result) {
  // Only a missing directory is created (private); an existing one keeps the mode it has.
  if (!fs::pathExists(logDir_)) fs::ensurePrivateDirectory(logDir_);
  if (auto size = fs::sizeOf(logPath_); size && *size >= kMaxFileSize) {
    fs::removeFile(backupPath_);
    fs::renamePath(logPath_, backupPath_);
  }
  std::optional<std::string> cleanAccount;
  if (account) cleanAccount = clean(*account);
  fs::appendPrivately(logPath_, formatLine(localIso8601Now(), clean(operation), cleanAccount, clean(result)));
}

std::string AuditLogger::formatLine(const std::string& timestamp, const std::string& operation,
                                    const std::optional<std::string>& account, const std::string& result) {
  std::string line;
  line.reserve(timestamp.size() + operation.size() + (account ? account->size() : 0) + result.size() + 24);
  line += '[';
  line += timestamp;
  line += "] ";
  line += operation;
  if (account) {
    line += " account=";
    line += *account;
  }
  line += " result=";
  line += result;
  line += '\n';
  return line;
}

std::string AuditLogger::clean(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    size_t len = utf8SequenceLength(text, i);
    if (len == 0) {
      out += kUtf8Replacement;
      i += 1;
      continue;
    }
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (len > 1 || (c >= 0x20 && c != 0x7F)) out.append(text.substr(i, len));
    i += len;
  }
  return out;
}

std::optional<AuditEntry> AuditLogger::parseLine(std::string_view line) {
  if (line.empty() || line.front() != '[') return std::nullopt;
  size_t close = line.find(']');
  if (close == std::string_view::npos) return std::nullopt;
  // The rest starts two characters after the bracket: the "]" and the (normally space)
  // character that follows it, whatever its width.
  size_t after = close + 1;
  if (after >= line.size()) return std::nullopt;
  size_t width = utf8SequenceLength(line, after);
  size_t restStart = after + (width == 0 ? 1 : width);
  if (restStart >= line.size()) return std::nullopt;
  std::string_view operation, remainder;
  if (!splitOperation(line.substr(restStart), operation, remainder)) return std::nullopt;

  AuditEntry entry;
  entry.timestamp = std::string(line.substr(1, close - 1));
  entry.operation = std::string(operation);
  constexpr std::string_view kAccount = "account=";
  if (size_t pos = remainder.find(kAccount); pos != std::string_view::npos) {
    std::string_view value = remainder.substr(pos + kAccount.size());
    entry.account = std::string(value.substr(0, value.find(' ')));
  }
  constexpr std::string_view kResult = "result=";
  size_t pos = remainder.find(kResult);
  entry.result =
      pos == std::string_view::npos ? "unknown" : std::string(remainder.substr(pos + kResult.size()));
  entry.id = makeUuid();
  return entry;
}

std::vector<AuditEntry> AuditLogger::readEntries(int limit) {
  std::vector<AuditEntry> entries;
  if (limit <= 0) return entries;
  auto read = [&] {
    std::optional<std::string> text = fs::readFile(logPath_, kMaxReadBytes, /*followSymlinks=*/false);
    if (!text || !isValidUtf8(*text)) return;
    std::vector<std::string_view> lines;
    std::string_view all(*text);
    for (size_t start = 0; start < all.size();) {
      size_t end = all.find('\n', start);
      if (end == std::string_view::npos) end = all.size();
      if (end > start) lines.push_back(all.substr(start, end - start));
      start = end + 1;
    }
    // A line that does not parse still uses up its place in the limit.
    size_t first = lines.size() > static_cast<size_t>(limit) ? lines.size() - static_cast<size_t>(limit) : 0;
    for (size_t i = lines.size(); i > first; --i) {
      if (auto entry = parseLine(lines[i - 1])) entries.push_back(std::move(*entry));
    }
  };
  if (queue_.isCurrent()) {
    read();
  } else {
    queue_.sync(read);
  }
  return entries;
}

void AuditLogger::clear() {
  queue_.post([this] {
    fs::removeFile(logPath_);
    fs::removeFile(backupPath_);
  });
}

void AuditLogger::flush() {
  if (queue_.isCurrent()) return;
  queue_.sync([] {});
}

}  // namespace caskel
