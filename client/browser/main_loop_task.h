// Runs a task later on the GTK main loop, only if its owner still exists
// (the owner keeps a shared_ptr<bool> and hands out weak references).
#pragma once

#include <functional>
#include <memory>
#include <utility>

#include <glib.h>

namespace quol::client {

inline void PostMainLoopTask(std::weak_ptr<bool> owner, std::function<void()> task) {
  struct Posted {
    std::weak_ptr<bool> owner;
    std::function<void()> task;
  };
  auto* posted = new Posted{std::move(owner), std::move(task)};
  g_idle_add_full(
      G_PRIORITY_DEFAULT,
      [](gpointer data) -> gboolean {
        auto* p = static_cast<Posted*>(data);
        if (!p->owner.expired()) p->task();
        return G_SOURCE_REMOVE;
      },
      posted, [](gpointer data) { delete static_cast<Posted*>(data); });
}

}  // namespace quol::client
