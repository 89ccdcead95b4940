#include "views/security_check_view.h"

#include "views/views_fixture.h"

namespace caskel {
namespace {

constexpr const char* kNetDev =
    "Inter-|   Receive |  Transmit\n face |bytes packets|bytes packets\n    lo: 0 0 0 0\n";

class SecurityCheckViewTest : public ViewsFixture {
 protected:
  // Tools that report a namespaced server (77), or one in the host's network.
  void useTools(bool namespaced) {
    services().runTool = [namespaced](const std::string& program, const std::vector<std::string>& args) {
      auto out = [](std::string text) { return ChildResult{true, false, 0, std::move(text)}; };
      if (program == "pgrep") return args.back() == "caskel-app" ? out("77\n") : ChildResult{};
      if (args == std::vector<std::string>{"/proc/77/net/dev"})
        return out(std::string(kNetDev) + (namespaced ? "" : "  eth0: 1 2 0 0\n"));
      if (program == "grep") return out("NoNewPrivs:\t1\nSeccomp:\t2\n");
      if (program == "cat") return out("  sl  local_address rem_address\n");
      return ChildResult{};
    };
  }
  // Runs the main queue's next task.
  void step() { mainQueue.takeFirst()(); }
};

TEST_F(SecurityCheckViewTest, PublishesEachRowInOrderThenTheVerdict) {
  useTools(true);
  SecurityCheckView view(services());
  QSignalSpy finished(&view, &SecurityCheckView::finished);
  EXPECT_TRUE(view.running());
  view.start();
  view.start();  // once only
  ASSERT_EQ(worker.pending().size(), 1u);
  worker.runReady();
  const char* details[] = {"Only the loopback device — no route to any network",
                           "Runs under a kernel filter that allows local sockets only", "Development build",
                           "Not installed from a package", "No open network sockets"};
  for (size_t row = 0; row < 5; ++row) {
    step();  // whether it passed
    EXPECT_FALSE(showsLabel(view, details[row])) << row;
    step();  // then why
    EXPECT_TRUE(showsLabel(view, details[row])) << row;
    EXPECT_TRUE(view.running());
  }
  EXPECT_FALSE(showsLabel(view, "All checks passed — your secrets stay on this machine."));
  step();
  EXPECT_TRUE(!view.running() && view.passed() && mainQueue.pending().empty());
  ASSERT_EQ(finished.count(), 1);
  EXPECT_EQ(finished.at(0).at(0).toBool(), true);
  EXPECT_TRUE(showsLabel(view, "All checks passed — your secrets stay on this machine."));
}

TEST_F(SecurityCheckViewTest, AServerInTheHostNetworkFailsTheVerdict) {
  useTools(false);
  SecurityCheckView view(services());
  QSignalSpy finished(&view, &SecurityCheckView::finished);
  view.start();
  settle();
  EXPECT_TRUE(!view.running() && !view.passed());
  ASSERT_EQ(finished.count(), 1);
  EXPECT_EQ(finished.at(0).at(0).toBool(), false);
  EXPECT_TRUE(showsLabel(view, "Not in a network namespace of its own — can reach the network through eth0"));
  EXPECT_TRUE(showsLabel(view, "Verification failed. Check the results above."));

  // Results that arrive after the view closed are dropped, not applied to freed widgets.
  auto closed = std::make_unique<SecurityCheckView>(services());
  closed->start();
  worker.runReady();
  closed.reset();
  mainQueue.runReady();
}

}  // namespace
}  // namespace caskel
