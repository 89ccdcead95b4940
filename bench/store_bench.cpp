// The store under load: saving, listing and bulk-reading 10,000 secrets through
// KeychainManager over a real vault, and one unlock at the cost the program creates vaults with.

#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/file_system.h"
#include "platform/vault.h"
#include "store/keychain_manager.h"

namespace caskel {
namespace {

constexpr int kItems = 10000;
const char* const kPassphrase = "benchmark passphrase";

// Hands out the vault key as an evaluated prompt would, so reads measure the store alone.
class InProcessAuthenticator : public Authenticator {
 public:
  explicit InProcessAuthenticator(std::shared_ptr<const VaultKey> key) : key_(std::move(key)) {}
  bool canEvaluate() override { return true; }
  AuthOutcome evaluate(const std::string&, const Requester&, double,
                       std::shared_ptr<const VaultKey>& key) override {
    key = key_;
    return AuthOutcome::success;
  }

 private:
  std::shared_ptr<const VaultKey> key_;
};

std::string account(int i) {
  return "org" + std::to_string(i % 10) + "/project" + std::to_string(i % 100) + "/KEY_" + std::to_string(i);
}

// One vault for the whole run, at the program's own (interactive) Argon2id cost.
struct Fixture {
  Fixture() {
    char pattern[] = "/tmp/caskel-bench-XXXXXX";
    dir = ::mkdtemp(pattern);
    vault = std::make_shared<Vault>(dir + "/vault.db");
    keychain = KeychainManager("caskel", vault);
    std::shared_ptr<const VaultKey> key;
    if (vault->create(SecretString(std::string_view(kPassphrase)), key) != VaultKeyring::Status::ok)
      std::abort();
    context = std::make_unique<AuthContext>(std::make_shared<InProcessAuthenticator>(key));
    context->evaluate("benchmark");
  }
  ~Fixture() { fs::removeTree(dir); }
  void fill() {
    if (filled) return;
    for (int i = 0; i < kItems; ++i)
      keychain.save(account(i), "sk-live-0123456789abcdef0123456789abcdef", std::nullopt);
    filled = true;
  }

  std::string dir;
  std::shared_ptr<Vault> vault;
  KeychainManager keychain{"caskel", nullptr};
  std::unique_ptr<AuthContext> context;
  bool filled = false;
};

Fixture& fixture() {
  static Fixture instance;
  return instance;
}

void BM_Save10k(benchmark::State& state) {
  Fixture& f = fixture();
  SecretMetadata metadata;
  metadata.type = "api_key";
  for (auto _ : state) {
    for (int i = 0; i < kItems; ++i) {
      if (f.keychain.save(account(i), "sk-live-0123456789abcdef0123456789abcdef", metadata)) {
        state.SkipWithError("save failed");
        return;
      }
    }
  }
  f.filled = true;
  state.SetItemsProcessed(state.iterations() * kItems);
}
BENCHMARK(BM_Save10k)->Unit(benchmark::kMillisecond)->Iterations(1);

void BM_List10k(benchmark::State& state) {
  Fixture& f = fixture();
  f.fill();
  for (auto _ : state) {
    std::vector<SecretInfo> list = f.keychain.listSecrets(nullptr, true);
    if (list.size() != kItems) state.SkipWithError("wrong count");
    benchmark::DoNotOptimize(list);
  }
  state.SetItemsProcessed(state.iterations() * kItems);
}
BENCHMARK(BM_List10k)->Unit(benchmark::kMillisecond);

void BM_ReadAll10k(benchmark::State& state) {
  Fixture& f = fixture();
  f.fill();
  for (auto _ : state) {
    std::map<std::string, SecretString> values = f.keychain.readAllValues(*f.context);
    if (values.size() != kItems) state.SkipWithError("wrong count");
    benchmark::DoNotOptimize(values);
  }
  state.SetItemsProcessed(state.iterations() * kItems);
}
BENCHMARK(BM_ReadAll10k)->Unit(benchmark::kMillisecond);

// A folder unlock: 100 of the 10,000 items are opened.
void BM_ReadFolder100of10k(benchmark::State& state) {
  Fixture& f = fixture();
  f.fill();
  for (auto _ : state) {
    std::map<std::string, SecretString> values = f.keychain.readAllValues(*f.context, "org7/project17/");
    if (values.size() != kItems / 100) state.SkipWithError("wrong count");
    benchmark::DoNotOptimize(values);
  }
}
BENCHMARK(BM_ReadFolder100of10k)->Unit(benchmark::kMillisecond);

void BM_ReadOne(benchmark::State& state) {
  Fixture& f = fixture();
  f.fill();
  for (auto _ : state) {
    Result<SecretString> value = f.keychain.readValue(account(4242), f.context.get());
    if (!value) state.SkipWithError("read failed");
    benchmark::DoNotOptimize(value);
  }
}
BENCHMARK(BM_ReadOne)->Unit(benchmark::kMicrosecond);

// The strict check every "get" makes before it looks in the session cache.
void BM_ReadMetadataOne(benchmark::State& state) {
  Fixture& f = fixture();
  f.fill();
  for (auto _ : state) {
    auto metadata = f.keychain.readMetadata(account(4242));
    benchmark::DoNotOptimize(metadata);
  }
}
BENCHMARK(BM_ReadMetadataOne)->Unit(benchmark::kMicrosecond);

// The passphrase check a prompt costs, at crypto_pwhash's interactive cost.
void BM_UnlockInteractive(benchmark::State& state) {
  Fixture& f = fixture();
  SecretString passphrase{std::string_view(kPassphrase)};
  for (auto _ : state) {
    std::shared_ptr<const VaultKey> key;
    if (f.vault->unlock(passphrase, key) != VaultKeyring::Status::ok) state.SkipWithError("unlock failed");
  }
}
BENCHMARK(BM_UnlockInteractive)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace caskel

BENCHMARK_MAIN();
