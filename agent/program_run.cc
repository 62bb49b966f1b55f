#include "agent/program_run.h"

#include <unistd.h>

#include <cstdlib>
#include <sstream>

#include "host/process/text_process_handler.h"

namespace {

// Keeps every line of the child's two outputs, in the order read.
class Output_Keeper : public Text_Process_Handler {
 public:
  int handle_stdout_line(const char* line, unsigned long len) override { return keep(line, len); }
  int handle_stderr_line(const char* line, unsigned long len) override { return keep(line, len); }
  std::string text;

 private:
  int keep(const char* line, unsigned long len) {
    text.append(line, len);
    text += '\n';
    return 0;
  }
};

// The command line ACE splits again at blanks: a word with a blank is
// quoted, which ACE takes as one word without its quotes.
bool ace_command_line(const std::vector<std::string>& argv, std::string& line, std::string& err) {
  for (const std::string& word : argv) {
    if (word.empty() || word.find_first_of("\"\n") != std::string::npos) {
      err = "cannot pass the argument \"" + word + "\" to " + argv[0];
      return false;
    }
    const bool blank = word.find_first_of(" \t") != std::string::npos || word[0] == '\'';
    line += (line.empty() ? "" : " ") + (blank ? "\"" + word + "\"" : word);
  }
  return true;
}

}  // namespace

std::string find_program(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::istringstream dirs(path != nullptr && *path != '\0' ? path : "/usr/sbin:/usr/bin:/sbin:/bin");
  for (std::string dir; std::getline(dirs, dir, ':');) {
    if (dir.empty() || dir[0] != '/') continue;
    const std::string candidate = dir + "/" + name;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return std::string();
}

int run_tool(const std::vector<std::string>& argv, int timeout_seconds, std::string& output, std::string& err) {
  std::string line;
  if (argv.empty() || !ace_command_line(argv, line, err)) return -1;
  ACE_Process_Options options(true, line.size() + 1024);
  options.handle_inheritance(0);
  Output_Keeper keeper;
  ACE_Process_Ex process(ACE_Process_Ex::CAPTURE_STDOUT | ACE_Process_Ex::CAPTURE_STDERR, nullptr, nullptr);
  if (options.command_line(ACE_TEXT("%s"), line.c_str()) != 0 || keeper.spawn(process, options, nullptr) < 0) {
    err = "cannot run " + argv[0];
    return -1;
  }
  int status = keeper.wait(ACE_Time_Value(timeout_seconds));
  if (status == -1) {
    const bool late = keeper.running();
    if (late) keeper.terminate(2000);
    err = late ? argv[0] + " ran longer than " + std::to_string(timeout_seconds) + " seconds" : "cannot run " + argv[0];
  }
  output = keeper.text;
  return status;
}
