#ifndef TESTS_SUPPORT_SAMPLE_DATA_H
#define TESTS_SUPPORT_SAMPLE_DATA_H

#include <cstddef>
#include <string>

// Deterministic mixed data of the given length: runs of text-like records,
// repeated blocks and pseudo-random bytes, so that it compresses about as
// well as a database file (neither trivially nor not at all).
std::string mixed_sample(std::size_t len, unsigned seed = 1);

#endif
