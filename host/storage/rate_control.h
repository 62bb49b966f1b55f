#ifndef HOST_RATE_CONTROL_H
#define HOST_RATE_CONTROL_H

#include <vector>

// One bandwidth limit of a job's storage traffic. A job definition carries a
// list of them (Job_Definition::max_rate_limits) and the storage client's
// options copy that list (Client_IO_Base::Options::rate_control_entries).
// Plain value type; no locking of its own.
struct Rate_Control_Entry {
  // Upper bound of the bytes moved per second; 0 means unlimited.
  unsigned long long max_bytes_per_second = 0;
};

typedef std::vector<Rate_Control_Entry> Rate_Control_Entries;

#endif
