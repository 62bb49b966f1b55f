#ifndef TOLLIX_EXPONENTIAL_BACKOFF_H
#define TOLLIX_EXPONENTIAL_BACKOFF_H

#include <boost/range/iterator_range.hpp>

#include "tollix/exponential_backoff_iterator.h"

// The retry delays for `retries` attempts: delay k is min(cap, slot * 2^k),
// spread by jitter when asked (see Exponential_Backoff_Iterator). Iterate it
// once with a range-for; the caller sleeps each delay itself. Safe from any
// thread; the range holds no shared state.
inline boost::iterator_range<Exponential_Backoff_Iterator> exponential_backoff(unsigned slot, unsigned retries,
                                                                               unsigned cap, bool jitter) {
  return boost::make_iterator_range(Exponential_Backoff_Iterator(slot, retries, cap, jitter),
                                    Exponential_Backoff_Iterator());
}

#endif
