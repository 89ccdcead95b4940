#include "audit/audit_logger.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <regex>
#include <sstream>
#include <thread>

#include "support/test_env.h"

namespace caskel {
namespace {

using test::readText;
using test::writeText;

// A logger over <tmp>/caskel with its own defaults file.
class AuditLoggerTest : public ::testing::Test {
 protected:
  AuditLoggerTest() : defaults_(tmp_.file("defaults.json")), logger_(tmp_.file("caskel"), defaults_) {}
  void enable() {
    logger_.setEnabled(true);
    ::mkdir(tmp_.file("caskel").c_str(), 0700);
  }
  std::string logText() {
    logger_.flush();
    return readText(logger_.logPath());
  }

  test::TempDir tmp_;
  DefaultsStore defaults_;
  AuditLogger logger_;
};

TEST_F(AuditLoggerTest, WritesOneCleanLinePerRecordInPrivateFilesOnceEnabled) {
  logger_.log("GET", "acme/api/KEY", "ok");
  logger_.flush();
  EXPECT_EQ(test::modeOf(tmp_.file("caskel")), -1);  // disabled: no directory, no record
  logger_.setEnabled(true);
  mode_t oldMask = ::umask(0);
  logger_.log("GET", "acme/web/API_KEY", "ok (cached)");
  logger_.log("NEW\x7f_CALLER", "/usr/bin/evil\nprog\r\tx y",
              "pid 4711\n[2026-01-01T00:00:00Z] SET result=ok");
  logger_.log("LOCK", std::nullopt, "ok");
  logger_.log("GET", std::string("bad\xff(bytes"), "ok");
  std::string text = logText();
  ::umask(oldMask);
  EXPECT_EQ(test::modeOf(tmp_.file("caskel")), 0700);
  EXPECT_EQ(test::modeOf(logger_.logPath()), 0600);

  // Each record is one line behind its own time stamp; the control characters are gone, and invalid
  // UTF-8 is repaired, so one bad record cannot make the whole file unreadable.
  const std::regex stamp(R"(\n\[\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(Z|[+-]\d\d:\d\d)\] )");
  EXPECT_EQ(std::regex_replace("\n" + text, stamp, "\n"),
            "\nGET account=acme/web/API_KEY result=ok (cached)\n"
            "NEW_CALLER account=/usr/bin/evilprogx y result=pid 4711[2026-01-01T00:00:00Z] SET result=ok\n"
            "LOCK result=ok\n"
            "GET account=bad\xEF\xBF\xBD(bytes result=ok\n");
}

TEST_F(AuditLoggerTest, RotatesAtExactlyOneMebibyteReplacingTheOldBackup) {
  enable();
  writeText(logger_.backupPath(), "old backup\n");
  writeText(logger_.logPath(), std::string(AuditLogger::kMaxFileSize - 1, 'x'));
  logger_.log("SET", "a/b", "ok");
  EXPECT_GT(logText().size(), AuditLogger::kMaxFileSize);
  EXPECT_EQ(readText(logger_.backupPath()), "old backup\n");

  writeText(logger_.logPath(), std::string(AuditLogger::kMaxFileSize, 'y'));
  logger_.log("ROTATE", "a/b", "ok");
  EXPECT_TRUE(std::regex_match(logText(), std::regex(R"(\[[^\]\n]+\] ROTATE account=a/b result=ok\n)")));
  EXPECT_EQ(readText(logger_.backupPath()), std::string(AuditLogger::kMaxFileSize, 'y'));
}

TEST_F(AuditLoggerTest, NeverWritesThroughALinkOrIntoAFifo) {
  enable();
  std::string target = tmp_.file("target");
  writeText(target, "[2026-01-01T00:00:00Z] SPOOF result=ok\n");
  ::chmod(target.c_str(), 0644);
  ASSERT_EQ(::symlink(target.c_str(), logger_.logPath().c_str()), 0);
  logger_.log("GET", "a/b", "ok");
  logger_.flush();
  EXPECT_EQ(readText(target), "[2026-01-01T00:00:00Z] SPOOF result=ok\n");
  EXPECT_EQ(test::modeOf(target), 0644);
  EXPECT_TRUE(logger_.readEntries(10).empty());  // the link's target is not our log

  // A FIFO in its place must not block the queue waiting for a peer.
  ::unlink(logger_.logPath().c_str());
  ASSERT_EQ(::mkfifo(logger_.logPath().c_str(), 0600), 0);
  logger_.log("GET", "a/b", "ok");
  EXPECT_TRUE(logger_.readEntries(10).empty());
}

TEST_F(AuditLoggerTest, ReadsTheNewestEntriesWithSkippedLinesCountingAgainstTheLimit) {
  enable();
  for (int i = 0; i < 600; ++i) logger_.log("GET", "acme/k" + std::to_string(i), "ok");
  auto entries = logger_.readEntries(500);  // sees every record logged before it
  ASSERT_EQ(entries.size(), 500u);
  EXPECT_EQ(entries.front().account, "acme/k599");
  EXPECT_EQ(entries.back().account, "acme/k100");

  writeText(logger_.logPath(), readText(logger_.logPath()) + "\n\ngarbage line\n");
  entries = logger_.readEntries(500);
  ASSERT_EQ(entries.size(), 499u);
  EXPECT_EQ(entries.front().account, "acme/k599");
  EXPECT_EQ(entries.back().account, "acme/k101");

  writeText(logger_.logPath(), readText(logger_.logPath()) + "[x] GET result=\xff\n");
  EXPECT_TRUE(logger_.readEntries(500).empty());  // not UTF-8 as a whole

  writeText(logger_.backupPath(), "[t] OLD result=ok\n");
  logger_.clear();
  EXPECT_TRUE(logger_.readEntries(10).empty());
  EXPECT_EQ(test::modeOf(logger_.logPath()), -1);
  EXPECT_EQ(test::modeOf(logger_.backupPath()), -1);
}

TEST_F(AuditLoggerTest, ConcurrentCallersGetWholeLinesInCallOrderPerThread) {
  enable();
  constexpr int kThreads = 8, kPerThread = 150;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([this, t] {
      for (int i = 0; i < kPerThread; ++i)
        logger_.log("GET", "t" + std::to_string(t) + "/" + std::to_string(i), "ok");
    });
  }
  for (auto& th : threads) th.join();
  std::map<int, int> next;
  const std::regex record(R"(\[[^\]]+\] GET account=t(\d+)/(\d+) result=ok)");
  std::istringstream in(logText());
  int count = 0;
  for (std::string line; std::getline(in, line); ++count) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, record)) << line;
    EXPECT_EQ(std::stoi(m[2]), next[std::stoi(m[1])]++) << line;
  }
  EXPECT_EQ(count, kThreads * kPerThread);
}

TEST_F(AuditLoggerTest, TimestampCarriesTheLocalOffsetOrZ) {
  enable();
  for (auto [tz, suffix] : {std::pair{"CET-1", "+01:00"}, {"UTC0", "Z"}, {"<-0330>3:30", "-03:30"}}) {
    {
      test::ScopedTimeZone zone(tz);
      logger_.clear();
      logger_.log("LOCK", "(all)", "ok");
      logger_.flush();
    }
    auto entries = logger_.readEntries(1);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_TRUE(entries[0].timestamp.ends_with(suffix)) << entries[0].timestamp;
  }
}

TEST(AuditLoggerParse, LinesAreParsedAsRecordsOrRejected) {
  struct {
    std::string_view line;
    const char *timestamp, *operation;
    std::optional<std::string> account;
    const char* result;
  } records[] = {
      {"[2026-03-01T09:15:02+01:00] GET account=acme/web/API_KEY result=ok (cached)",
       "2026-03-01T09:15:02+01:00", "GET", "acme/web/API_KEY", "ok (cached)"},
      {"[t]   UNLOCK account=acme/ ", "t", "UNLOCK", "acme/", "unknown"},      // leading spaces skipped
      {"[t] X account=/usr/bin/a b result=ok", "t", "X", "/usr/bin/a", "ok"},  // up to the first space
      {"[]\xC3\xA9X result=", "", "X", std::nullopt, ""},  // the character after "]" is skipped whole
  };
  const std::regex uuid("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}");
  for (const auto& r : records) {
    auto e = AuditLogger::parseLine(r.line);
    ASSERT_TRUE(e) << r.line;
    EXPECT_EQ(e->timestamp, r.timestamp);
    EXPECT_EQ(e->operation, r.operation);
    EXPECT_EQ(e->account, r.account);
    EXPECT_EQ(e->result, r.result);
    EXPECT_TRUE(std::regex_match(e->id, uuid)) << e->id;
  }
  for (std::string_view bad :
       {"", "[t]", "[t] ", "[t]x", "[t]    ", " [t] GET result=ok", "[t GET", "[t]\xC3"}) {
    EXPECT_FALSE(AuditLogger::parseLine(bad)) << bad;
  }
}

}  // namespace
}  // namespace caskel
