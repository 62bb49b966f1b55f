#include "client_io/util.h"

#include <ace/Log_Msg.h>

#include <climits>

#include "host/services/host_manager.h"

bool set_options_by_job_def(Client_IO_Base::Options& options, const Job_Definition* def, unsigned int channels) {
  if (def == nullptr) {
    ACE_ERROR((LM_EMERGENCY, ACE_TEXT("Unexpected error in %N:%l, def is NULL:\n%?\n")));
    return false;
  }
  const unsigned int retry = def->max_seconds_retry();
  options.max_seconds_retry = retry > static_cast<unsigned int>(INT_MAX) ? INT_MAX : static_cast<int>(retry);
  options.resumption_buffer_size = def->resumption_buffer_size();
  options.rate_control_entries = def->max_rate_limits();
  set_rate_limits_by_channels(options.rate_control_entries, channels);
  return true;
}

void set_rate_limits_by_channels(Rate_Control_Entries& entries, unsigned int channels) {
  if (channels < 2) return;
  for (Rate_Control_Entry& e : entries)
    e.max_bytes_per_second = e.max_bytes_per_second / channels + (e.max_bytes_per_second % channels ? 1 : 0);
}

bool set_options_by_host(Client_IO_Base::Options& options) {
  const Host_Manager* host = Host_Manager::instance();
  const std::string key = host->on_backupd() ? host->node_access_key() : host->access_key();
  return set_access_key_to_options(options, key);
}

bool set_access_key_to_options(Client_IO_Base::Options& options, const std::string& key) {
  return set_http_head_to_options(options, Host_Manager::HTTP_HEAD_ACCESS_KEY, key);
}

bool set_http_head_to_options(Client_IO_Base::Options& options, int head, const std::string& value) {
  const char* name = Host_Manager::instance()->http_head_string(head);
  if (name == nullptr) return true;
  return options.set_extra_option(name, value);
}
