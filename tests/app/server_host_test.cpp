#include "app/server_host.h"

#include <gtest/gtest.h>

#include <thread>

#include "app/app_state.h"
#include "app/application.h"
#include "support/fake_clipboard.h"
#include "support/fakes.h"
#include "support/manual_queue.h"
#include "support/test_env.h"

namespace caskel {
namespace {

using test::ManualQueue;

// A host serving on a socket in a temporary directory, over an in-memory store.
class ServerHostTest : public ::testing::Test {
 protected:
  ServerHostTest() {
    options.manageProcess = false;
    options.store = store;
    options.authenticator = std::make_shared<test::FakeAuthenticator>();
    options.clipboard = std::make_shared<test::FakeClipboard>();
    options.sessionDirRoot = dir.path();
    options.server.socketPath = dir.file("caskel.sock");
    options.server.knownCallersPath = dir.file("known_callers.json");
    options.server.sessionConfigPath = dir.file("config.json");
  }
  ~ServerHostTest() override {
    host.reset();
    CredentialStore::setShared(previousStore);
    Authenticator::setShared(previousAuth);
  }
  void start() {
    host = std::make_unique<ServerHost>(options, mainQueue);
    ASSERT_TRUE(host->start());
    mainQueue.runReady();
  }
  void put(const std::string& key) {
    ASSERT_FALSE(KeychainManager("caskel", store).save(key, "v", std::nullopt).has_value());
  }

  std::shared_ptr<CredentialStore> previousStore = CredentialStore::shared();
  std::shared_ptr<Authenticator> previousAuth = Authenticator::shared();
  test::TempHome home;
  test::TempDir dir;
  std::shared_ptr<test::MemoryCredentialStore> store = std::make_shared<test::MemoryCredentialStore>();
  ServerHostOptions options;
  ManualQueue mainQueue;
  std::unique_ptr<ServerHost> host;
};

// Server threads report to the model only through the main queue, coalesced.
TEST_F(ServerHostTest, ServesWithTheModelAttachedHooksReachItOnTheMainQueueAndStopsInReverse) {
  put("acme/api/KEY");
  start();
  Application& app = Application::shared();
  EXPECT_EQ(app.mainQueue(), &mainQueue);
  EXPECT_EQ(app.sessionManager(), &host->server().session());
  EXPECT_TRUE(host->server().isRunning());
  EXPECT_NE(test::modeOf(options.server.socketPath.value()), -1);
  // The first listing is the model's, before any request.
  EXPECT_EQ(host->state().accounts().size(), 1u);
  const std::string sessionDir = host->state().sessionDir();
  EXPECT_EQ(test::modeOf(sessionDir), 0700);

  ServerServices& services = host->server().services();
  put("acme/db/URL");
  std::thread([&] {
    for (int i = 0; i < 50; ++i) services.refreshApplication(nullptr);
    for (int i = 0; i < 50; ++i) services.reportCliVersion("9.9");
  }).join();
  EXPECT_EQ(mainQueue.pending().size(), 2u);
  EXPECT_EQ(host->state().accounts().size(), 1u);
  mainQueue.runReady();
  EXPECT_EQ(host->state().accounts().size(), 2u);
  EXPECT_EQ(host->state().lastSeenCliVersion(), "9.9");
  services.reportCliVersion("9.9");
  EXPECT_TRUE(mainQueue.pending().empty());
  services.reportCliVersion("10.0");
  mainQueue.runReady();
  EXPECT_EQ(host->state().lastSeenCliVersion(), "10.0");
  const std::string text = services.instructions();
  EXPECT_NE(text.find("- `acme/api/`"), std::string::npos);
  EXPECT_NE(text.find("- `acme/db/`"), std::string::npos);

  host->stop();
  EXPECT_FALSE(host->running());
  EXPECT_EQ(app.sessionManager(), nullptr);
  EXPECT_FALSE(host->server().isRunning());
  EXPECT_EQ(test::modeOf(options.server.socketPath.value()), -1);
  EXPECT_EQ(test::modeOf(sessionDir), -1);
  host.reset();
  EXPECT_EQ(app.mainQueue(), nullptr);
}

// The desktop program goes on without a server of its own: the model stays, and stopping
// still removes its share directory.
TEST_F(ServerHostTest, RefusedServerLeavesTheModelWithoutAServer) {
  put("acme/api/KEY");
  test::writeText(dir.file("caskel.sock"), "not a socket");
  options.server.socketPath = dir.file("caskel.sock/inside");
  host = std::make_unique<ServerHost>(options, mainQueue);
  EXPECT_FALSE(host->start());
  EXPECT_FALSE(host->running());
  EXPECT_EQ(Application::shared().sessionManager(), nullptr);
  ASSERT_TRUE(host->prepared());
  mainQueue.runReady();
  EXPECT_EQ(host->state().accounts().size(), 1u);
  const std::string sessionDir = host->state().sessionDir();
  host->stop();
  EXPECT_EQ(test::modeOf(sessionDir), -1);
}

}  // namespace
}  // namespace caskel
