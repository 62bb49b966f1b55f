#ifndef OSCAR_OSCAR_QUERY_HANDLER_H
#define OSCAR_OSCAR_QUERY_HANDLER_H

#include <ace/Process.h>

#include <cstdint>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "host/process/text_process_handler.h"
#include "oscar/oscar_export.h"
#include "tollix/secure_allocator.h"

// Rows of one query, each a vector of columns, in the order isql printed
// them.
typedef std::vector<std::vector<std::string>> Result_type;

// Runs one SQL text at a time through the instance's isql and turns its
// tabular output (heading, dashed separator, rows of "|"-separated columns,
// a row-count line) into rows. Built, used and destroyed by one thread; not
// copyable. The password is kept in a secure string and never logged.
class OSCAR_EXPORT Oscar_Query_Handler {
 public:
  // Takes the connection values; `host` is what isql connects to
  // ("localhost", or a cluster's virtual address). The database environment
  // is prepared from oscar_home (an empty home is logged and leaves it
  // unprepared; select then refuses to run).
  Oscar_Query_Handler(const std::string& oscar_home, const std::string& instance, const std::string& username,
                      const secure_string& password, uint16_t port, const std::string& host);
  Oscar_Query_Handler();
  ~Oscar_Query_Handler();

  Oscar_Query_Handler(const Oscar_Query_Handler&) = delete;
  Oscar_Query_Handler& operator=(const Oscar_Query_Handler&) = delete;

  // Replaces the connection values (the host stays) and prepares a fresh
  // environment for them; answers whether that preparation succeeded.
  bool reset(const std::string& oscar_home, const std::string& instance, const std::string& username,
             const secure_string& password, uint16_t port);

  // Runs one SQL text (placed unescaped inside double quotes on the isql
  // command line). True when isql ran and exited with status 0. False
  // without running anything when the home, instance, user or password is
  // empty ("Lack of connection parameter." logged, rows left as they were).
  // On a failed run result() holds the rows read before the failure.
  bool select(const char* cmd);
  bool select(const std::string& cmd) { return select(cmd.c_str()); }

  // The rows of the last select; valid until the next one.
  const Result_type& result() const { return results_; }
  // Every standard-output line of every query of this handler so far, each
  // followed by a line feed (never holds the password: isql does not print
  // it).
  std::string output() const { return output_.str(); }

  // Parses isql's standard output into the owner's rows: skips the first
  // two lines of a query (heading and separator), the row-count line and
  // blank lines, and splits every other line at "|" (runs of "|" count as
  // one separator); columns keep their inner blanks.
  class Isql_Query_Line_Handler : public Text_Process_Handler {
   public:
    Isql_Query_Line_Handler(std::ostringstream& output, Result_type& results);
    ~Isql_Query_Line_Handler() override;
    // An empty line is an argument-check failure and answers -1.
    int handle_stdout_line(const char* line, unsigned long len) override;
    // Sets the number of leading lines still to skip.
    void headers(std::size_t n) { headers_ = n; }

   private:
    std::size_t headers_;
    std::ostringstream& output_;
    Result_type& results_;
  };

 private:
  std::ostringstream output_;
  Result_type results_;
  Isql_Query_Line_Handler handler_;
  std::string oscar_home_;
  std::string instance_;
  std::string username_;
  secure_string password_;
  uint16_t port_;
  std::string host_;
  std::unique_ptr<ACE_Process_Options> opts_;
};

#endif
