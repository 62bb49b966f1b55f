#ifndef TESTS_SUPPORT_LOG_CAPTURE_H
#define TESTS_SUPPORT_LOG_CAPTURE_H

#include <ace/Log_Msg_Callback.h>
#include <ace/Log_Priority.h>

#include <string>
#include <vector>

// Collects the ACE log records of the calling thread while it exists: it
// installs itself as that thread's message callback and turns stderr output
// off, and puts both back when destroyed. Records logged on other threads
// are not seen. Use one per test, on the test's thread.
class Log_Capture : public ACE_Log_Msg_Callback {
 public:
  struct Record {
    ACE_Log_Priority priority;
    std::string text;  // the formatted message, line feed included
  };

  Log_Capture();
  ~Log_Capture() override;
  Log_Capture(const Log_Capture&) = delete;
  Log_Capture& operator=(const Log_Capture&) = delete;

  void log(ACE_Log_Record& record) override;

  const std::vector<Record>& records() const { return records_; }
  // The texts of all records, in order.
  std::vector<std::string> texts() const;
  // All record texts joined, to search for a fragment.
  std::string all() const;

 private:
  ACE_Log_Msg_Callback* previous_;
  unsigned long previous_flags_;
  std::vector<Record> records_;
};

#endif
