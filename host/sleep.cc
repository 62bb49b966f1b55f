#include "host/sleep.h"

#include <ace/OS_NS_time.h>

#include <atomic>

namespace {
std::atomic<double> g_scale{1.0};
}

int host_sleep(const ACE_Time_Value& duration) {
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
