#include "JorvuVorn/GLibMainThread.hpp"

#include <glib.h>
#include <gtk/gtk.h>

#include <utility>

GLibMainThread::GLibMainThread(bool useGtk) : useGtk_(useGtk), owner_(std::this_thread::get_id()) {
  if (!useGtk_) loop_ = g_main_loop_new(nullptr, FALSE);
}

GLibMainThread::~GLibMainThread() {
  std::deque<std::function<void()>> dropped;
  {
    std::lock_guard lock(mutex_);
    ended_ = true;
    dropped.swap(queue_);
  }
  if (loop_ != nullptr) g_main_loop_unref(loop_);
}

void GLibMainThread::post(std::function<void()> work) {
  bool schedule = false;
  {
    std::lock_guard lock(mutex_);
    if (ended_) {
      // Let go outside the lock: the work may own things that post again.
      std::function<void()> dropped = std::move(work);
      (void)dropped;
      return;
    }
    queue_.push_back(std::move(work));
    schedule = !scheduled_;
    scheduled_ = true;
  }
  // One idle source drains the whole queue, so the order is the order posted.
  if (schedule) g_idle_add_full(G_PRIORITY_DEFAULT, &GLibMainThread::dispatch, this, nullptr);
}

bool GLibMainThread::isCurrent() const { return std::this_thread::get_id() == owner_; }

int GLibMainThread::dispatch(void* self) {
  static_cast<GLibMainThread*>(self)->drain();
  return G_SOURCE_REMOVE;
}

void GLibMainThread::drain() {
  for (;;) {
    std::function<void()> work;
    {
      std::lock_guard lock(mutex_);
      if (queue_.empty() || ended_) {
        scheduled_ = false;
        return;
      }
      work = std::move(queue_.front());
      queue_.pop_front();
    }
    work();
  }
}

void GLibMainThread::run() {
  if (useGtk_) {
    gtk_main();
  } else {
    g_main_loop_run(loop_);
  }
  std::deque<std::function<void()>> dropped;
  {
    std::lock_guard lock(mutex_);
    ended_ = true;
    dropped.swap(queue_);
  }
}

void GLibMainThread::quit() {
  {
    std::lock_guard lock(mutex_);
    ended_ = true;
  }
  if (useGtk_) {
    gtk_main_quit();
  } else {
    g_main_loop_quit(loop_);
  }
}
