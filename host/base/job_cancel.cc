#include "host/base/job_cancel.h"

namespace {
thread_local std::shared_ptr<Job_Cancel> t_bound;
thread_local const Cleanup_Scope* t_cleanup = nullptr;
}  // namespace

void Job_Cancel::request() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (requested_.exchange(true)) return;
  for (Target* t : targets_) t->cancel();
}

void Job_Cancel::reset() {
  std::lock_guard<std::mutex> lock(mutex_);
  requested_.store(false);
}

bool Job_Cancel::enlist(Target* target) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (requested_.load()) return false;
  targets_.insert(target);
  return true;
}

void Job_Cancel::withdraw(Target* target) {
  std::lock_guard<std::mutex> lock(mutex_);
  targets_.erase(target);
}

void bind_job_cancel(const std::shared_ptr<Job_Cancel>& cancel) { t_bound = cancel; }

std::shared_ptr<Job_Cancel> bound_job_cancel() { return t_bound; }

Cleanup_Scope::Cleanup_Scope(std::chrono::milliseconds limit) : limit_(limit), outer_(t_cleanup) { t_cleanup = this; }

Cleanup_Scope::~Cleanup_Scope() { t_cleanup = outer_; }

const Cleanup_Scope* Cleanup_Scope::current() { return t_cleanup; }
