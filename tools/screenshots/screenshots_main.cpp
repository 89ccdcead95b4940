// Renders every screen of the window offscreen from a fixture vault into PNG files, for the
// README and docs/screens. `make screenshots` runs it; run it again whenever a screen changes.
#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QStyleFactory>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>

#include "app/app_state.h"
#include "app/application.h"
#include "audit/audit_logger.h"
#include "platform/defaults_store.h"
#include "platform/file_system.h"
#include "session/session_manager.h"
#include "store/keychain_manager.h"
#include "support/fake_clipboard.h"
#include "support/fakes.h"
#include "support/manual_queue.h"
#include "support/test_env.h"
#include "views/main_window.h"
#include "views/onboarding_view.h"
#include "views/prompt_tracker.h"
#include "views/secret_list_view.h"
#include "views/view_services.h"

namespace caskel {
namespace {

using Clock = std::chrono::system_clock;

// 2027-03-01 10:00:00 UTC: the fixture's expiry dates are written against it.
constexpr std::chrono::seconds kNow{1'803'895'200};

std::string isoTime(Clock::time_point when) {
  std::time_t t = Clock::to_time_t(when);
  std::tm tm{};
  ::gmtime_r(&t, &tm);
  char buffer[32];
  std::strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return buffer;
}

SecretMetadata meta(std::optional<std::string> type, std::optional<std::string> bundle = std::nullopt,
                    std::optional<std::string> expires = std::nullopt, bool strict = false) {
  SecretMetadata m;
  m.type = std::move(type);
  m.bundle = std::move(bundle);
  m.expires = std::move(expires);
  if (strict) m.strict = true;
  return m;
}

// One window over an in-memory vault whose every prompt says yes, with queues drained by hand
// and a clock that stands still.
class Studio {
 public:
  explicit Studio(std::string outDir) : outDir_(std::move(outDir)) {
    Authenticator::setShared(auth_);
    CredentialStore::setShared(store_);
    Application::shared().markMainThread();
    Application::shared().setMainQueue(&mainQueue_);
    services_.now = [this] { return now_; };
    services_.version = "0.1.0";
    // The self-check as on a machine where no server runs and nothing came from a package, so
    // the picture does not depend on what runs here.
    services_.runTool = [](const std::string&, const std::vector<std::string>&) {
      return ChildResult{true, false, 1, ""};
    };
  }
  ~Studio() {
    onboarding_.reset();
    window_.reset();
    Application::shared().setSessionManager(nullptr);
    Application::shared().setMainQueue(nullptr);
  }

  void put(const std::string& key, const std::string& value, std::optional<SecretMetadata> metadata) {
    keychain_.save(key, value, metadata);
  }
  void fillVault() {
    put("acme/api/OPENAI_KEY", R"({"key":"sk-proj-4f9a","secondary":"sk-org-77"})",
        meta("api_key", "ai", "2027-03-13"));
    put("acme/api/STRIPE_SECRET", "sk_live_51H", meta("token", "billing"));
    put("acme/db/DATABASE_URL", "postgres://app@db/acme", meta("dsn", std::nullopt, std::nullopt, true));
    put("acme/deploy/FLY_TOKEN", "fo1_x", meta("token", "deploy", "2027-02-20"));
    put("personal/github/LOGIN", R"({"password":"correct horse battery staple","username":"octo-dev"})",
        meta("login"));
    put("personal/github/RECOVERY", R"(["a1b2-c3d4","e5f6-g7h8","i9j0-k1l2"])", meta("recovery_code"));
    put("shared/SENTRY_DSN", "https://k@sentry.example/1", meta(std::nullopt, "observability"));
    put("NPM_TOKEN", "npm_abc", std::nullopt);
  }
  // A folder unlocked by a running server's session, as its green lock shows.
  void unlockFolder(const std::string& prefix) {
    sessions_ = std::make_unique<SessionManager>(keychain_, dir_.file("config.json"));
    sessions_->unlock(prefix, 3600, SessionBinding{1, 1, 0, false}, std::nullopt);
    Application::shared().setSessionManager(sessions_.get());
  }
  void writeAuditLog() {
    defaults_.setBool("caskel.auditLogEnabled", true);
    struct Line {
      int secondsAgo;
      const char* operation;
      const char* account;
      const char* result;
    };
    const Line lines[] = {
        {90000, "NEW_CALLER", "/usr/bin/node", "ok"},
        {7300, "SET", "acme/api/OPENAI_KEY", "ok"},
        {3500, "UNLOCK", "acme/api/", "ok"},
        {1800, "GET", "acme/api/OPENAI_KEY", "ok (cached)"},
        {600, "GET", "acme/db/DATABASE_URL", "auth_canceled"},
        {240, "SHARE", "acme/api/STRIPE_SECRET", "ok"},
        {120, "ROTATE", "acme/deploy/FLY_TOKEN", "ok"},
        {65, "DELETE", "acme/old/KEY", "ok (gui)"},
        {20, "SET", "shared/SENTRY_DSN", "error"},
        {5, "LOCK", "", "ok"},
    };
    std::string text;
    for (const Line& line : lines) {
      std::optional<std::string> account;
      if (*line.account) account = line.account;
      text += AuditLogger::formatLine(isoTime(now_ - std::chrono::seconds(line.secondsAgo)), line.operation,
                                      account, line.result) +
              "\n";
    }
    fs::writeFileAtomically(audit_.logPath(), text, 0600);
  }

  MainWindow& window() {
    if (!window_) {
      state_.reload(nullptr);
      settle();
      window_ = std::make_unique<MainWindow>(services_);
      // As in the program: onboarding can be opened again from the list and from Settings.
      window_->onShowOnboarding = [] {};
      window_->listView()->setOnboardingAvailable(true);
      window_->show();
      settle();
    }
    return *window_;
  }
  // Onboarding as its window shows it, in a home where two agents are installed and the tool
  // is not yet linked.
  OnboardingView& onboarding() {
    if (!onboarding_) {
      OnboardingEnvironment env;
      env.home = "/home/dev";
      env.appDirectory = "/usr/bin";
      env.exists = [](const std::string& path) {
        return path.ends_with("/.claude") || path.ends_with("/.cursor");
      };
      env.findCliOnPath = [] { return std::nullopt; };
      env.choose = [](OnboardingEnvironment::Choice, const QString&, const std::string&) {
        return std::nullopt;
      };
      env.notify = [](const UserNotice&) {};
      onboarding_ = std::make_unique<OnboardingView>(services_, std::move(env));
      onboarding_->setFixedSize(380, 520);
      onboarding_->show();
      settle();
    }
    return *onboarding_;
  }
  void settle() {
    for (int i = 0; i < 20; ++i) {
      worker_.runReady();
      mainQueue_.runReady();
      QApplication::processEvents();
    }
  }
  void advance(std::chrono::seconds by) { now_ += by; }

  template <class Widget>
  Widget* find(const QString& text) {
    for (Widget* w : window().findChildren<Widget*>()) {
      if (!w->isVisible()) continue;
      if constexpr (std::is_base_of_v<QAbstractButton, Widget>) {
        if (w->text() == text || w->toolTip() == text) return w;
      } else {
        if (w->placeholderText() == text) return w;
      }
    }
    std::fprintf(stderr, "screenshots: nothing shows \"%s\"\n", qPrintable(text));
    return nullptr;
  }
  void click(const QString& text) {
    if (auto* button = find<QAbstractButton>(text)) button->click();
    settle();
  }
  void type(const QString& placeholder, const QString& text) {
    if (auto* field = find<QLineEdit>(placeholder)) field->setText(text);
    settle();
  }
  void typeLines(const QString& placeholder, const QString& text) {
    if (auto* field = find<QPlainTextEdit>(placeholder)) field->setPlainText(text);
    settle();
  }

  void shoot(const QString& name) { shoot(window(), name); }
  void shoot(QWidget& widget, const QString& name) {
    settle();
    widget.repaint();
    const QString path = QString::fromStdString(outDir_) + "/" + name + ".png";
    if (!widget.grab().save(path)) std::fprintf(stderr, "screenshots: cannot write %s\n", qPrintable(path));
    std::printf("%s\n", qPrintable(path));
  }

  AppState& state() { return state_; }

 private:
  std::string outDir_;
  Clock::time_point now_ = Clock::time_point(kNow);
  test::TempDir dir_;
  std::shared_ptr<test::FakeAuthenticator> auth_ = std::make_shared<test::FakeAuthenticator>();
  std::shared_ptr<test::MemoryCredentialStore> store_ = std::make_shared<test::MemoryCredentialStore>();
  KeychainManager keychain_{"caskel", store_};
  DefaultsStore defaults_{dir_.file("defaults.json")};
  AuditLogger audit_{dir_.path(), defaults_};
  test::FakeClipboard clipboard_;
  std::shared_ptr<test::FakeClipboard> modelClipboard_ = std::make_shared<test::FakeClipboard>();
  test::ManualQueue mainQueue_;
  test::ManualQueue worker_;
  PromptTracker prompts_;
  AppState state_{keychain_, defaults_, audit_, modelClipboard_, dir_.path()};
  ViewServices services_{state_, keychain_, audit_, defaults_, clipboard_, mainQueue_, worker_, prompts_};
  std::unique_ptr<SessionManager> sessions_;
  std::unique_ptr<MainWindow> window_;
  std::unique_ptr<OnboardingView> onboarding_;
};

void shootList(const std::string& out) {
  Studio studio(out);
  studio.fillVault();
  studio.unlockFolder("acme/api/");
  studio.window();
  studio.shoot("list");
  studio.window().listView()->share("acme/api/STRIPE_SECRET");
  studio.settle();
  studio.advance(std::chrono::seconds(13));
  studio.shoot("list-share-countdown");
  studio.state().setLastSeenCliVersion("0.0.9");
  studio.shoot("list-cli-outdated");
  studio.type("Filter...", "zzz");
  studio.shoot("list-no-matches");
}

void shootEmptyList(const std::string& out) {
  Studio studio(out);
  studio.shoot("list-empty");
}

void shootAddForms(const std::string& out) {
  Studio studio(out);
  studio.fillVault();
  struct Mode {
    const char* label;
    const char* file;
  };
  const Mode modes[] = {{"Secret", "add-secret"},
                        {"API Key", "add-api-key"},
                        {"Login", "add-login"},
                        {"Recovery Codes", "add-recovery-codes"}};
  for (const Mode& mode : modes) {
    studio.window().showAdd();
    studio.settle();
    studio.click(mode.label);
    studio.type("org/project/KEY (e.g. myco/api/SECRET_KEY)", "acme/api/NEW_KEY");
    if (std::string(mode.label) == "Secret") {
      studio.type("Value (key, password, token, ...)", "s3cr3t-value");
      studio.type("Type", "token");
      studio.type("Expires — YYYY-MM-DD", "2027-13-01");
    } else if (std::string(mode.label) == "API Key") {
      studio.type("API Key", "sk-proj-abc");
      studio.type("Bundle — e.g. oauth, db, deploy", "ai");
    } else if (std::string(mode.label) == "Login") {
      studio.type("Username", "octo-dev");
      studio.type("Password", "hunter2hunter2");
    } else {
      studio.typeLines("One code per line", "a1b2-c3d4\ne5f6-g7h8\n\ni9j0-k1l2");
    }
    studio.shoot(mode.file);
  }
}

void shootEditForm(const std::string& out) {
  Studio studio(out);
  studio.fillVault();
  studio.window().showEdit("personal/github/LOGIN");
  studio.settle();
  studio.click("Reveal value (passphrase)");
  studio.shoot("edit-login-revealed");
}

void shootSettingsAndAudit(const std::string& out) {
  Studio studio(out);
  studio.fillVault();
  studio.window().showAuditLog();
  studio.shoot("audit-log-disabled");
  studio.writeAuditLog();
  studio.window().showSettings();
  studio.shoot("settings");
  studio.window().showAuditLog();
  studio.shoot("audit-log");
  studio.click("Clear audit log");
  studio.click("Clear");
  studio.shoot("audit-log-empty");
}

void shootOnboarding(const std::string& out) {
  Studio studio(out);
  studio.fillVault();
  const char* names[] = {"onboarding-welcome", "onboarding-cli", "onboarding-agents", "onboarding-done"};
  for (int step = 0; step < OnboardingView::kSteps; ++step) {
    studio.onboarding().setStep(step);
    studio.shoot(studio.onboarding(), names[step]);
  }
}

}  // namespace
}  // namespace caskel

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  // The same look on every machine that renders them.
  QApplication::setStyle(QStyleFactory::create("Fusion"));
  QApplication::setFont(QFont("DejaVu Sans", 10));
  const std::string out = argc > 1 ? argv[1] : "docs/screens";
  QDir().mkpath(QString::fromStdString(out));
  caskel::test::TempHome home;
  caskel::shootList(out);
  caskel::shootEmptyList(out);
  caskel::shootAddForms(out);
  caskel::shootEditForm(out);
  caskel::shootSettingsAndAudit(out);
  caskel::shootOnboarding(out);
  return 0;
}
