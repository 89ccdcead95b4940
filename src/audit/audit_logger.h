#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/defaults_store.h"
#include "platform/work_queue.h"

namespace caskel {

struct AuditEntry {
  std::string id;  // random UUID made when the line is parsed
  std::string timestamp;
  std::string operation;
  std::optional<std::string> account;
  std::string result;
};

// The append-only audit log. Logging never fails visibly; all file work runs on the serial
// queue "caskel.audit" in call order.
class AuditLogger {
 public:
  static constexpr uint64_t kMaxFileSize = 1048576;

  AuditLogger(std::string logDir, DefaultsStore& defaults);
  // Writes every record still queued before the queue stops, so none is lost at exit.
  ~AuditLogger();
  AuditLogger(const AuditLogger&) = delete;
  AuditLogger& operator=(const AuditLogger&) = delete;
  // The one process-wide logger over <configDirectory> and DefaultsStore::shared().
  static AuditLogger& shared();

  bool isEnabled();
  void setEnabled(bool enabled);
  // Returns at once; the record's time stamp is taken when the queued write runs.
  void log(const std::string& operation, const std::optional<std::string>& account,
           const std::string& result);
  // At most `limit` entries, newest first; sees every record logged before the call.
  std::vector<AuditEntry> readEntries(int limit);
  void clear();
  // Waits until every record logged before the call has been written.
  void flush();

  const std::string& logPath() const { return logPath_; }
  const std::string& backupPath() const { return backupPath_; }

  // One line of the file, parsed; nothing when it is not a record.
  static std::optional<AuditEntry> parseLine(std::string_view line);
  // Removes every character below U+0020 and U+007F; an invalid UTF-8 sequence becomes U+FFFD
  // so that one bad record cannot make the whole file unreadable.
  static std::string clean(std::string_view text);
  // The record's line, line feed included, from already cleaned parts.
  static std::string formatLine(const std::string& timestamp, const std::string& operation,
                                const std::optional<std::string>& account, const std::string& result);

 private:
  void write(const std::string& operation, const std::optional<std::string>& account,
             const std::string& result);

  std::string logDir_;
  std::string logPath_;
  std::string backupPath_;
  DefaultsStore& defaults_;
  WorkQueue queue_{"caskel.audit"};
};

}  // namespace caskel
