#ifndef CLIENT_IO_UTIL_H
#define CLIENT_IO_UTIL_H

#include <string>

#include "host/jobs/job_definition.h"
#include "host/storage/client_io_base.h"
#include "host/storage/rate_control.h"

// The module's storage option set-up, called by every executor before it
// connects a storage client, in this order: set_options_by_job_def, then
// (for physical jobs) set_options_by_pool, then set_options_by_host.
// Stateless; safe from any thread on options owned by the caller.

// Takes the definition's retry bound, resumption buffer and rate limits
// into options, the limits shared out over channels
// (set_rate_limits_by_channels). False (logged) for a null definition,
// options unchanged.
bool set_options_by_job_def(Client_IO_Base::Options& options, const Job_Definition* def, unsigned int channels);

// With two or more channels each limit becomes its share of one channel,
// rounded up; 0 or 1 channel changes nothing.
void set_rate_limits_by_channels(Rate_Control_Entries& entries, unsigned int channels);

// Puts the host's key into the options: the node access key when the host
// runs inside the backup server's daemon, else its access key.
bool set_options_by_host(Client_IO_Base::Options& options);

// Sets the access-key header (number 48) to key.
bool set_access_key_to_options(Client_IO_Base::Options& options, const std::string& key);

// Sets HTTP header number head to value as an extra option named by the
// host's header name; a number the host has no name for sets nothing.
// False only when the option could not be set.
bool set_http_head_to_options(Client_IO_Base::Options& options, int head, const std::string& value);

#endif
