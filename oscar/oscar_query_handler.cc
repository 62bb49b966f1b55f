#include "oscar/oscar_query_handler.h"

#include <ace/Log_Msg.h>

#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/split.hpp>
#include <boost/algorithm/string/trim.hpp>

#include "oscar/arg_check.h"
#include "oscar/oscar_regex.h"
#include "oscar/process_options.h"
#include "oscar/tool_guard.h"
#include "tollix/string_sprintf.h"

namespace {
// Standard output and standard error through pipes.
const int CAPTURE_BOTH = 6;
// Heading and separator lines in front of the rows of every query.
const std::size_t HEADER_LINES = 2;
}  // namespace

Oscar_Query_Handler::Isql_Query_Line_Handler::Isql_Query_Line_Handler(std::ostringstream& output, Result_type& results)
    : Text_Process_Handler(0), headers_(HEADER_LINES), output_(output), results_(results) {}

Oscar_Query_Handler::Isql_Query_Line_Handler::~Isql_Query_Line_Handler() = default;

int Oscar_Query_Handler::Isql_Query_Line_Handler::handle_stdout_line(const char* line, unsigned long len) {
  if (line == nullptr || len == 0 || *line == '\0') {
    ACE_ERROR((LM_EMERGENCY, ACE_TEXT("Unexpected error in %N:%l, line is NULL or \"\":\n%?\n")));
    return -1;
  }
  std::string s(line, len);
  output_ << s << '\n';
  if (headers_ != 0) {
    --headers_;
    return 0;
  }
  if (boost::regex_match(s, RE_END_LINE)) return 0;
  boost::algorithm::trim(s);
  if (s.empty()) return 0;
  results_.emplace_back();
  boost::algorithm::split(results_.back(), s, boost::algorithm::is_any_of("|"), boost::algorithm::token_compress_on);
  return 0;
}

Oscar_Query_Handler::Oscar_Query_Handler(const std::string& oscar_home, const std::string& instance,
                                         const std::string& username, const secure_string& password, uint16_t port,
                                         const std::string& host)
    : handler_(output_, results_),
      oscar_home_(oscar_home),
      instance_(instance),
      username_(username),
      password_(password),
      port_(port),
      host_(host),
      opts_(new_process_options()) {
  if (opts_) set_process_opts(oscar_home_.c_str(), *opts_);
}

Oscar_Query_Handler::Oscar_Query_Handler() : handler_(output_, results_), port_(0), opts_(new_process_options()) {}

Oscar_Query_Handler::~Oscar_Query_Handler() = default;

bool Oscar_Query_Handler::reset(const std::string& oscar_home, const std::string& instance, const std::string& username,
                                const secure_string& password, uint16_t port) {
  oscar_home_ = oscar_home;
  instance_ = instance;
  username_ = username;
  password_ = password;
  port_ = port;
  // Fresh options: variables added to the old ones would keep the earlier
  // home's values in front of the new ones.
  opts_ = new_process_options();
  return opts_ && set_process_opts(oscar_home_.c_str(), *opts_);
}

bool Oscar_Query_Handler::select(const char* cmd) {
  if (oscar_home_.empty() || instance_.empty() || username_.empty() || password_.empty()) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Lack of connection parameter.\n")));
    return false;
  }
  if (!oscar::valid_account(username_, password_.c_str())) return false;
  OSCAR_CHECK_TEXT_ARG(cmd, false);
  results_.clear();
  handler_.headers(HEADER_LINES);
  secure_string line;
  string_sprintf(line, "%s/bin/isql -U%s/%s -h%s -d%s -p%hu -c \"%s\"", oscar_home_.c_str(), username_.c_str(),
                 password_.c_str(), host_.c_str(), instance_.c_str(), port_, cmd);
  // A command longer than the options' buffer gets options of its own,
  // prepared the same way; it is never run cut.
  std::unique_ptr<ACE_Process_Options> larger;
  ACE_Process_Options* opts = opts_.get();
  std::size_t buf_len = 0;
  if (opts != nullptr) opts->command_line_buf(&buf_len);
  if (opts == nullptr || line.size() + 2 > buf_len) {
    larger = new_process_options(line.size());
    if (!larger || !set_process_opts(oscar_home_.c_str(), *larger)) return false;
    opts = larger.get();
  }
  if (opts->command_line(ACE_TEXT("%s"), line.c_str()) != 0) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to set command line.\n")));
    return false;
  }
  return handler_.call(CAPTURE_BOTH, *opts) == 0;
}
