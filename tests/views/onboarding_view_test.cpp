#include "views/onboarding_view.h"

#include <QPushButton>

#include "platform/defaults_store.h"
#include "views/onboarding_window.h"
#include "views/views_fixture.h"

namespace caskel {
namespace {

class OnboardingViewTest : public ViewsFixture {
 protected:
  OnboardingEnvironment environment() {
    OnboardingEnvironment env;
    env.home = dir.file("home");
    env.appDirectory = "/usr/bin";
    env.exists = [](const std::string&) { return false; };
    env.findCliOnPath = [] { return std::nullopt; };
    env.choose = [this](OnboardingEnvironment::Choice, const QString& title, const std::string&) {
      titles.push_back(title);
      return picked;
    };
    env.notify = [this](const UserNotice& notice) { notices.push_back(notice); };
    return env;
  }
  OnboardingView& view() {
    if (!view_) {
      view_ = std::make_unique<OnboardingView>(services(), environment());
      view_->show();
    }
    return *view_;
  }
  bool shows(const QString& text) {
    auto* button = findByText<QPushButton>(view(), text);
    return button && button->isVisibleTo(view_.get());
  }
  void click(const QString& text) {
    auto* button = findByText<QPushButton>(view(), text);
    ASSERT_NE(button, nullptr) << text.toStdString();
    button->click();
    settle();
  }

  std::optional<std::string> picked;
  std::vector<QString> titles;
  std::vector<UserNotice> notices;
  std::unique_ptr<OnboardingView> view_;
};

TEST_F(OnboardingViewTest, NavigatesFourStepsAndGetStartedMarksOnboardingDone) {
  EXPECT_TRUE(shows("Verifying..."));  // the check runs until its result comes back
  settle();
  struct Step {
    bool back, next, getStarted;
  };
  const Step steps[] = {{false, true, false}, {true, true, false}, {true, true, false}, {true, false, true}};
  for (int i = 0; i < OnboardingView::kSteps; ++i) {
    EXPECT_EQ(view().step(), i);
    EXPECT_EQ(shows("Back"), steps[i].back) << i;
    EXPECT_EQ(shows("Next"), steps[i].next) << i;
    EXPECT_EQ(shows("Get Started"), steps[i].getStarted) << i;
    if (steps[i].next) click("Next");
  }
  click("Back");
  EXPECT_EQ(view().step(), 2);
  view().setStep(3);

  QSignalSpy dismissed(&view(), &OnboardingView::dismissed);
  EXPECT_EQ(defaults.boolValue(defaults_keys::kOnboardingDone), std::nullopt);
  click("Get Started");
  EXPECT_EQ(defaults.boolValue(defaults_keys::kOnboardingDone), true);
  EXPECT_EQ(dismissed.count(), 1);
}

TEST_F(OnboardingViewTest, ScanCopiesTheCommandAndResetsThroughTheMainQueue) {
  picked = dir.file("project");
  ASSERT_TRUE(fs::writeFileAtomically(dir.file("project/web/.env"), "A=1\n"));
  view().setStep(3);
  click("Scan for .env files");
  EXPECT_EQ(titles, std::vector<QString>{"Select folder to scan for .env files"});
  EXPECT_EQ(clipboard->text(), "caskel scan '" + *picked + "'");
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_EQ(notices[0].subtitle, "Found 1 .env file");
  EXPECT_TRUE(shows("Found 1 — scan command copied"));
  ASSERT_EQ(mainQueue.delayed().size(), 1u);
  EXPECT_EQ(mainQueue.delayed()[0].delay, 4);
  mainQueue.runAll();
  EXPECT_TRUE(shows("Scan for .env files"));

  picked.reset();  // cancelled: nothing happens
  click("Scan for .env files");
  EXPECT_EQ(notices.size(), 1u);
}

TEST_F(OnboardingViewTest, AddToExistingFileNotifiesAndShowsSaved) {
  picked = dir.file("CLAUDE.md");
  ASSERT_TRUE(fs::writeFileAtomically(*picked, "# Project"));
  view().setStep(2);
  click("Add to existing .md");
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_EQ(notices[0], (UserNotice{"Instructions added", "Caskel instructions appended to CLAUDE.md"}));
  EXPECT_TRUE(shows("Saved!"));
  click("Saved!");  // a second time: the file now holds the instructions
  EXPECT_EQ(notices.back().subtitle, "Already configured");
}

TEST_F(OnboardingViewTest, WindowIsOneAtATimeAndForgottenWhenDismissed) {
  OnboardingWindow onboarding(services(), [this](QWidget*) { return environment(); });
  onboarding.show();
  QWidget* first = onboarding.window();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->windowTitle(), "Caskel Setup");
  EXPECT_EQ(first->size(), QSize(380, 520));
  onboarding.show();
  EXPECT_EQ(onboarding.window(), first);

  onboarding.view()->setStep(3);
  findByText<QPushButton>(*onboarding.view(), "Get Started")->click();
  EXPECT_EQ(onboarding.window(), nullptr);
  onboarding.show();
  ASSERT_NE(onboarding.view(), nullptr);
  EXPECT_EQ(onboarding.view()->step(), 0);
}

}  // namespace
}  // namespace caskel
