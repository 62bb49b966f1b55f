#include "tollix/exponential_backoff_iterator.h"

#include <limits>
#include <random>

namespace {

std::mt19937& thread_generator() {
  thread_local std::mt19937 gen{std::random_device{}()};
  return gen;
}

}  // namespace

Exponential_Backoff_Iterator::Exponential_Backoff_Iterator() = default;

Exponential_Backoff_Iterator::Exponential_Backoff_Iterator(unsigned slot, unsigned retries, unsigned cap, bool jitter)
    : slot_(slot), cap_(cap), jitter_(jitter), remaining_(retries) {
  if (remaining_ != 0) compute();
}

void Exponential_Backoff_Iterator::increment() {
  if (remaining_ == 0) return;
  --remaining_;
  ++attempt_;
  if (remaining_ != 0) compute();
}

void Exponential_Backoff_Iterator::compute() {
  const unsigned long long limit = cap_ != 0 ? cap_ : std::numeric_limits<unsigned>::max();
  unsigned long long base = slot_;
  for (unsigned i = 0; i < attempt_ && base < limit; ++i) base <<= 1;
  if (base > limit) base = limit;
  if (jitter_ && base > 1) {
    std::uniform_int_distribution<unsigned long long> pick((base + 1) / 2, base);
    base = pick(thread_generator());
  }
  delay_ = static_cast<unsigned>(base);
}
