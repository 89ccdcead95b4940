// The list screen over 10,000 secrets, offscreen: a reload until the first paint of the
// 350 × 460 window, and one keystroke of filtering until the next paint, each beside the
// store's listing alone.

#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <QApplication>
#include <QImage>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "app/app_state.h"
#include "app/application.h"
#include "audit/audit_logger.h"
#include "base/status_code.h"
#include "platform/clipboard.h"
#include "platform/credential_store.h"
#include "platform/defaults_store.h"
#include "platform/file_system.h"
#include "views/prompt_tracker.h"
#include "views/secret_list_view.h"
#include "views/view_services.h"
#include "listing_store.h"

namespace caskel {
namespace {

constexpr int kItems = 10000;

// The main queue, drained by hand right after the change, as the event loop would.
class DrainedQueue : public TaskQueue {
 public:
  void post(Task task) override { tasks_.push_back(std::move(task)); }
  TaskHandle postAfter(Duration, Task task) override {
    post(std::move(task));
    return {};
  }
  void drain() {
    while (!tasks_.empty()) {
      Task task = std::move(tasks_.front());
      tasks_.pop_front();
      task();
    }
  }

 private:
  std::deque<Task> tasks_;
};

struct Fixture {
  Fixture() {
    char pattern[] = "/tmp/caskel-bench-XXXXXX";
    dir = ::mkdtemp(pattern);
    Application::shared().markMainThread();
    Application::shared().setMainQueue(&mainQueue);
    for (int i = 0; i < kItems; ++i) {
      SecretMetadata metadata;
      if (i % 3 == 0) metadata.type = i % 2 ? "api_key" : "token";
      if (i % 7 == 0) metadata.bundle = "deploy";
      if (i % 11 == 0) metadata.expires = "2026-01-10";
      keychain.save(
          "org" + std::to_string(i % 10) + "/project" + std::to_string(i % 100) + "/KEY_" + std::to_string(i),
          "v", metadata);
    }
    view.resize(350, 460);
    view.show();
  }
  ~Fixture() {
    Application::shared().setMainQueue(nullptr);
    fs::removeTree(dir);
  }
  void paint() { view.render(&image); }

  std::string dir;
  std::shared_ptr<bench::ListingStore> store = std::make_shared<bench::ListingStore>();
  KeychainManager keychain{"caskel", store};
  DefaultsStore defaults{dir + "/defaults.json"};
  AuditLogger audit{dir, defaults};
  std::shared_ptr<bench::NoClipboard> clipboard = std::make_shared<bench::NoClipboard>();
  DrainedQueue mainQueue;
  DrainedQueue worker;
  PromptTracker prompts;
  AppState state{keychain, defaults, audit, clipboard, dir};
  ViewServices services{state, keychain, audit, defaults, *clipboard, mainQueue, worker, prompts};
  SecretListView view{services};
  QImage image{350, 460, QImage::Format_ARGB32_Premultiplied};
};

// Built on first use and dropped before the application object goes.
std::unique_ptr<Fixture> shared;
Fixture& fixture() {
  if (!shared) shared = std::make_unique<Fixture>();
  return *shared;
}

void BM_StoreListing(benchmark::State& s) {
  Fixture& f = fixture();
  for (auto _ : s) benchmark::DoNotOptimize(f.keychain.listSecrets(nullptr, true));
}
BENCHMARK(BM_StoreListing)->Unit(benchmark::kMillisecond);

// Listing, publishing, the model's rebuild and one paint of the window.
void BM_ReloadToFirstPaint(benchmark::State& s) {
  Fixture& f = fixture();
  for (auto _ : s) {
    f.state.reload(nullptr);
    f.mainQueue.drain();
    f.paint();
  }
}
BENCHMARK(BM_ReloadToFirstPaint)->Unit(benchmark::kMillisecond);

// A keystroke in the filter, alternating between two texts, until the window is painted again.
// From "project1" one more letter narrows a short list; from an empty filter the first letter
// rebuilds nearly every row.
void BM_FilterKeystroke(benchmark::State& s, const char* from, const char* to) {
  Fixture& f = fixture();
  f.state.reload(nullptr);
  f.mainQueue.drain();
  const std::string texts[] = {from, to};
  int i = 0;
  for (auto _ : s) {
    f.state.setSearchText(texts[i++ % 2]);
    f.mainQueue.drain();
    f.paint();
  }
  f.state.setSearchText("");
  f.mainQueue.drain();
}
BENCHMARK_CAPTURE(BM_FilterKeystroke, narrowing, "project1", "project12")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_FilterKeystroke, first_letter, "", "k")->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace caskel

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  caskel::shared.reset();
  return 0;
}
