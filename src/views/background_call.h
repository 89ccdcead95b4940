#pragma once

#include <QObject>
#include <QPointer>
#include <functional>
#include <memory>

#include "views/prompt_tracker.h"
#include "views/view_services.h"

namespace caskel {

// Runs `work` (a store call that may prompt) on the services' worker and hands its result to
// `apply` on the main queue, unless `receiver` was destroyed meanwhile (the screen was left).
// The prompt tracker counts the call as open until its result is back.
template <class Result>
void callInBackground(ViewServices& services, QObject* receiver, std::function<Result()> work,
                      std::function<void(Result&)> apply) {
  QPointer<QObject> guard(receiver);
  PromptTracker* prompts = &services.prompts;
  TaskQueue* main = &services.mainQueue;
  prompts->begin();
  services.worker.post([guard, prompts, main, work = std::move(work), apply = std::move(apply)] {
    auto result = std::make_shared<Result>(work());
    main->post([guard, prompts, result, apply] {
      prompts->end();
      if (guard) apply(*result);
    });
  });
}

}  // namespace caskel
