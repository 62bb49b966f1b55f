#include "host/base/sleep.h"

#include <ace/OS_NS_time.h>

#include <atomic>
#include <mutex>

namespace {
std::atomic<double> g_scale{1.0};
std::mutex g_observer_mutex;
std::function<void(const ACE_Time_Value&)> g_observer;

void notify_observer(const ACE_Time_Value& duration) {
  std::function<void(const ACE_Time_Value&)> observer;
  {
    std::lock_guard<std::mutex> lock(g_observer_mutex);
    observer = g_observer;
  }
  if (observer) observer(duration);
}
}  // namespace

int host_sleep(const ACE_Time_Value& duration) {
  notify_observer(duration);
  if (duration <= ACE_Time_Value::zero) return 0;
  const double scale = g_scale.load();
  ACE_Time_Value wait = duration;
  if (scale != 1.0) {
    const double usec = (static_cast<double>(duration.sec()) * 1e6 + duration.usec()) * scale;
    wait.set(static_cast<time_t>(usec / 1e6), static_cast<suseconds_t>(static_cast<long long>(usec) % 1000000));
  }
  if (wait <= ACE_Time_Value::zero) return 0;
  timespec ts = wait;
  return ACE_OS::nanosleep(&ts) == 0 ? 0 : -1;
}

void set_host_sleep_scale(double scale) { g_scale.store(scale < 0 ? 0.0 : scale); }

double host_sleep_scale() { return g_scale.load(); }

void set_host_sleep_observer(std::function<void(const ACE_Time_Value&)> observer) {
  std::lock_guard<std::mutex> lock(g_observer_mutex);
  g_observer = std::move(observer);
}
