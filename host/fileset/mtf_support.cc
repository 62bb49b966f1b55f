#include "host/fileset/mtf_support.h"

#include <ace/OS_NS_sys_time.h>

namespace MTF {

Log_Binding::Log_Binding(const ACE_Log_Msg_Callback_var& callback) {
  if (!callback) return;
  previous_ = bound_log_callback();
  bind_log_callback(callback);
  active_ = true;
}

Log_Binding::~Log_Binding() {
  if (active_) bind_log_callback(previous_);
}

bool run_action(const Action_Handler_var& handler, bool pre, std::string& err) {
  Action_Handler* h = handler.get();
  if (!h) return true;
  bool ok = pre ? h->pre_action() : h->post_action();
  if (ok) {
    const Action_Handler::Error_Code rc = pre ? h->wait_pre_action() : h->wait_post_action();
    if (rc != Action_Handler::E_OK) {
      pre ? h->terminate_pre_action() : h->terminate_post_action();
      ok = false;
    }
  }
  if (ok || (pre ? h->ignore_pre_action_failure() : h->ignore_post_action_failure())) return true;
  err = pre ? "the pre-action failed" : "the post-action failed";
  return false;
}

bool connect_set_directory(Client_IO_Ex& io, Client_IO_Base::Options& options, const std::string& pool_uuid,
                           const char* device_uuid, bool check_access, const std::string& host_uuid,
                           const std::string& minor_resource_id, std::string& err) {
  Pool_Info pool;
  if (!get_pool_info(pool_uuid.c_str(), device_uuid, pool, check_access, 0, nullptr)) {
    err = "pool " + pool_uuid + " is not available";
    return false;
  }
  if (!set_options_by_pool(options, pool)) {
    err = "the settings of pool " + pool_uuid + " are not usable";
    return false;
  }
  std::string url = pool.url;
  while (!url.empty() && url.back() == '/') url.pop_back();
  if (!io.connect(url + "/" + host_uuid + "/" + minor_resource_id, options)) {
    err = io.error();
    return false;
  }
  return true;
}

Progress::Progress(Event_Handler* handler, unsigned long long total_bytes, unsigned long long total_files)
    : handler_(handler), total_bytes_(total_bytes), total_files_(total_files), start_(ACE_OS::gettimeofday()) {}

void Progress::advance(unsigned long long bytes, unsigned long long files) {
  bytes_ += bytes;
  files_ += files;
  if (!handler_) return;
  const bool by_count = handler_->mode() == Event_Handler::PRM_FILE_COUNT;
  const unsigned long long total = by_count ? total_files_ : total_bytes_;
  const unsigned long long done = by_count ? files_ : bytes_;
  // 100 is left to finish(), which comes when the work is really done.
  int percent = total ? static_cast<int>(done * 100 / total) : 0;
  if (percent > 99) percent = 99;
  if (percent != last_) report(percent);
}

void Progress::finish() {
  if (handler_ && last_ != 100) report(100);
}

bool Progress::canceling() const { return handler_ && handler_->canceling(); }

void Progress::report(int percent) {
  last_ = percent;
  const bool by_count = handler_->mode() == Event_Handler::PRM_FILE_COUNT;
  const ACE_Time_Value elapsed = ACE_OS::gettimeofday() - start_;
  const unsigned long long usec = static_cast<unsigned long long>(elapsed.sec()) * 1000000ULL + elapsed.usec();
  const unsigned long speed = usec ? static_cast<unsigned long>(bytes_ * 1000000ULL / usec) : 0;
  handler_->handle_progress(percent, static_cast<unsigned long>(by_count ? total_files_ : total_bytes_),
                            static_cast<unsigned long>(by_count ? files_ : bytes_), speed);
}

}  // namespace MTF
