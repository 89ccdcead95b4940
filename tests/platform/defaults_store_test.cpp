#include "platform/defaults_store.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <thread>
#include <vector>

#include "support/test_env.h"

namespace caskel {
namespace {

using test::TempDir;

TEST(DefaultsStore, TypesRoundTripAndMismatchedTypesReadAsNothing) {
  TempDir dir;
  DefaultsStore store(dir.file("defaults.json"));
  store.setInteger("count", 768);
  store.setNumber("seconds", 90.7);
  // Each type read back as written is its users' (the share time-out, the audit switch, the
  // hotkey); here, what a read of another type gives.
  EXPECT_EQ(store.numberValue("count"), 768.0);  // an integer is a number
  EXPECT_FALSE(store.boolValue("count"));        // no truthiness of numbers
  EXPECT_FALSE(store.integerValue("seconds"));

  // Values written by hand or by another tool.
  test::writeText(store.path(), R"({"whole": 18.0, "text": "true", "big": 18446744073709551615})");
  EXPECT_EQ(store.integerValue("whole"), 18);
  EXPECT_FALSE(store.boolValue("text"));
  EXPECT_FALSE(store.integerValue("big"));
  store.remove("text");
  EXPECT_FALSE(store.numberValue("text"));
  EXPECT_EQ(store.integerValue("whole"), 18);  // untouched keys survive writes

  // A damaged file reads as empty (each kind of damage is the damaged-file end-to-end test's)
  // and is replaced by the next write.
  test::writeText(store.path(), "[true]");
  EXPECT_FALSE(store.integerValue("whole"));
  store.setBool("caskel.onboardingDone", true);
  EXPECT_EQ(DefaultsStore(store.path()).boolValue("caskel.onboardingDone"), true);
}

TEST(DefaultsStore, ChangesByAnotherWriterAreSeenOnTheNextRead) {
  TempDir dir;
  DefaultsStore reader(dir.file("defaults.json")), writer(dir.file("defaults.json"));
  EXPECT_FALSE(reader.boolValue("caskel.auditLogEnabled"));
  writer.setBool("caskel.auditLogEnabled", true);
  EXPECT_EQ(reader.boolValue("caskel.auditLogEnabled"), true);

  // A write merges with what the other wrote instead of overwriting it.
  writer.setInteger("caskel.hotkey.keyCode", 20);
  reader.setNumber("caskel.shareTimeout", 30);
  EXPECT_EQ(writer.integerValue("caskel.hotkey.keyCode"), 20);
  EXPECT_EQ(writer.numberValue("caskel.shareTimeout"), 30.0);

  // An edit in place (no rename) and a removal of the file are seen too.
  test::writeText(reader.path(), R"({"caskel.auditLogEnabled": false})");
  EXPECT_EQ(reader.boolValue("caskel.auditLogEnabled"), false);
  ::unlink(reader.path().c_str());
  EXPECT_FALSE(reader.boolValue("caskel.auditLogEnabled"));
}

TEST(DefaultsStore, WritesAPrivateFileIntoAPrivateDirectoryFromManyThreads) {
  TempDir dir;
  std::string configDir = dir.file("config/caskel");
  DefaultsStore store(configDir + "/defaults.json");
  mode_t oldMask = ::umask(0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&store, t] {
      for (int i = 0; i < 8; ++i) {
        store.setInteger("k" + std::to_string(t * 8 + i), i);
        (void)store.boolValue("caskel.auditLogEnabled");  // reads interleaved with the writes
      }
    });
  }
  for (auto& th : threads) th.join();
  ::umask(oldMask);
  EXPECT_EQ(test::modeOf(configDir), 0700);
  EXPECT_EQ(test::modeOf(store.path()), 0600);
  DefaultsStore fresh(store.path());
  for (int k = 0; k < 32; ++k) EXPECT_EQ(fresh.integerValue("k" + std::to_string(k)), k % 8);
}

}  // namespace
}  // namespace caskel
