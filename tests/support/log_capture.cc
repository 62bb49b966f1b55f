#include "tests/support/log_capture.h"

#include <ace/Log_Msg.h>
#include <ace/Log_Record.h>

Log_Capture::Log_Capture() {
  ACE_Log_Msg* msg = ACE_Log_Msg::instance();
  previous_flags_ = msg->flags();
  previous_ = msg->msg_callback(this);
  msg->set_flags(ACE_Log_Msg::MSG_CALLBACK);
  msg->clr_flags(ACE_Log_Msg::STDERR);
}

Log_Capture::~Log_Capture() {
  ACE_Log_Msg* msg = ACE_Log_Msg::instance();
  msg->msg_callback(previous_);
  msg->clr_flags(msg->flags());
  msg->set_flags(previous_flags_);
}

void Log_Capture::log(ACE_Log_Record& record) {
  records_.push_back(Record{static_cast<ACE_Log_Priority>(record.type()), record.msg_data()});
}

std::vector<std::string> Log_Capture::texts() const {
  std::vector<std::string> out;
  for (const Record& r : records_) out.push_back(r.text);
  return out;
}

std::string Log_Capture::all() const {
  std::string out;
  for (const Record& r : records_) out += r.text;
  return out;
}
