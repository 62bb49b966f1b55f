#include "host/process/ace_process_ex.h"

#include <utility>

ACE_Process_Ex::ACE_Process_Ex(int flags, const char* name, std::shared_ptr<ACE_Log_Msg_Callback> log_msg_callback)
    : flags_(flags), name_(name != nullptr ? name : ""), log_msg_callback_(std::move(log_msg_callback)) {}
