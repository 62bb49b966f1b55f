#ifndef HOST_EXPONENTIAL_BACKOFF_ITERATOR_H
#define HOST_EXPONENTIAL_BACKOFF_ITERATOR_H

#include <boost/iterator/iterator_facade.hpp>

// A single-pass sequence of retry delays that grow exponentially.
//
// Built with (slot, retries, cap, jitter), the sequence holds `retries`
// delays, in the caller's unit (the module uses seconds). Delay k (counted
// from 0) is based on min(cap, slot * 2^k); without jitter it is exactly
// that base, with jitter it is drawn uniformly from [ceil(base / 2), base],
// so that several waiters that started together spread out while no delay
// falls below half its base. A cap of 0 means "no cap". A slot of 0 or
// retries of 0 give zero delays or an empty sequence respectively.
//
// A default-built iterator is the end of every sequence. Iterators are
// cheap values; each one is used by one thread. Jittered values are drawn
// from a per-thread generator when the iterator advances, so copies of an
// iterator that advance separately may see different values (single pass).
class Exponential_Backoff_Iterator
    : public boost::iterator_facade<Exponential_Backoff_Iterator, const unsigned, boost::single_pass_traversal_tag> {
 public:
  Exponential_Backoff_Iterator();
  Exponential_Backoff_Iterator(unsigned slot, unsigned retries, unsigned cap, bool jitter);

 private:
  friend class boost::iterator_core_access;

  const unsigned& dereference() const { return delay_; }
  bool equal(const Exponential_Backoff_Iterator& other) const { return remaining_ == other.remaining_; }
  void increment();

  // Computes delay_ for the attempt numbered attempt_.
  void compute();

  unsigned slot_ = 0;
  unsigned cap_ = 0;
  bool jitter_ = false;
  unsigned attempt_ = 0;
  unsigned remaining_ = 0;
  unsigned delay_ = 0;
};

#endif
