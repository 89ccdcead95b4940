#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QSignalSpy>
#include <QTest>

#include "support/app_parts.h"
#include "views/prompt_tracker.h"
#include "views/view_services.h"

namespace caskel {

// The screens over an in-memory store and a yes-saying authenticator, with a main queue and a
// worker that run only when the test drains them, and a clock the test moves.
class ViewsFixture : public ::testing::Test, public test::AppParts {
 protected:
  ~ViewsFixture() override {
    services_.reset();
    state.reset();
  }

  ViewServices& services() {
    if (!services_) {
      services_ = std::make_unique<ViewServices>(*state, keychain, audit, defaults, *clipboard, mainQueue,
                                                 worker, prompts);
      services_->now = [this] { return now; };
      services_->version = "1.2.3";
    }
    return *services_;
  }
  // Stores a secret and lists the store into the model.
  void put(const std::string& key, const std::string& value = "v",
           const std::optional<SecretMetadata>& metadata = std::nullopt) {
    ASSERT_FALSE(keychain.save(key, value, metadata).has_value());
    reload();
  }
  // The metadata stored for `key`, less the peek that the store derives from the value.
  std::optional<SecretMetadata> storedMetadata(const std::string& key) {
    std::optional<SecretMetadata> metadata = keychain.readMetadata(key);
    if (metadata) metadata->peek.reset();
    return metadata;
  }
  // Lists the store into the model, as a reload on the main queue does.
  void reload() {
    state->reload(nullptr);
    settle();
  }
  // Runs the worker's calls and what they hand back to the main queue, until both are idle.
  void settle() {
    for (int i = 0; i < 20 && !(worker.pending().empty() && mainQueue.pending().empty()); ++i) {
      worker.runReady();
      mainQueue.runReady();
      QApplication::processEvents();
    }
  }

  test::ManualQueue worker;
  PromptTracker prompts;
  Clock::time_point now = Clock::time_point(std::chrono::seconds(1'800'000'000));

 private:
  std::unique_ptr<ViewServices> services_;
};

// The first child widget of type W whose text or tool tip is `text`.
template <class W>
W* findByText(QWidget& parent, const QString& text) {
  for (W* widget : parent.findChildren<W*>()) {
    if (widget->text() == text || widget->toolTip() == text) return widget;
  }
  return nullptr;
}

inline bool showsLabel(QWidget& parent, const QString& text) {
  for (const QLabel* label : parent.findChildren<QLabel*>()) {
    if (label->isVisibleTo(&parent) && label->text() == text) return true;
  }
  return false;
}

// Metadata written as its stored JSON, e.g. metadataOf(R"({"type":"token","strict":true})").
inline SecretMetadata metadataOf(const char* json) {
  return SecretMetadata::fromJson(json).value();
}

}  // namespace caskel
