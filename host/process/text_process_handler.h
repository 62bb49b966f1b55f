#ifndef HOST_TEXT_PROCESS_HANDLER_H
#define HOST_TEXT_PROCESS_HANDLER_H

#include <ace/Event_Handler.h>
#include <ace/Log_Priority.h>
#include <ace/Process.h>
#include <ace/Time_Value.h>

#include <memory>

#include "host/process/ace_process_ex.h"

// Runs one child process at a time and reads its standard output and
// standard error as text, both at once, so a child that fills one pipe
// while the other stays idle never blocks. Raw bytes arrive in the
// handle_*_segment operations, whose default cuts them into lines (see
// Line_Assembler: no line end, NUL after the bytes, lines longer than the
// handler's max_line come in pieces) and hands each to handle_*_line.
//
// Before starting a child the handler checks the prepared options and
// refuses (-1, one error log line, nothing started) a command line that
// fills its buffer (ACE cuts such a line silently), one whose arguments
// did not all fit the options' argument table, and a program that is not
// an executable file. The child inherits no descriptor of the agent but
// its three standard ones (handle inheritance is switched off), reads
// /dev/null as standard input and gets pipes for the captured outputs
// (ACE_Process_Ex flags). It leads a process group of its own unless the
// options name another group, so that a terminal's Ctrl-C reaches the agent
// and not the job's tools.
//
// When the child ends, output still in the pipes is read to its end. Its
// descendants may keep the pipes open; they are read for a short while
// after the child has ended (at most LINGER_MS, and only while output keeps
// coming) and then closed, so a daemon started by the child never keeps a
// call waiting. Such a daemon must not write to the inherited outputs.
//
// A child started for a job ends when the job is aborted, and none is
// started once the job is being cancelled (-1, one error log line), except
// on a thread inside a Cleanup_Scope: such a child starts whatever the job's
// state, is left alone by the abort and is ended (SIGTERM, SIGKILL a few
// seconds later) once it has run the scope's limit.
//
// Results of call and wait: 0 when the child exited with status 0, its
// exit status (1 to 255) otherwise, 128 + the signal number when a signal
// ended it, -1 when it could not be started (or for wait: timed out, or no
// child).
//
// Threads: call runs the reading on the calling thread; spawn runs it on a
// thread of the handler's own (which inherits the spawning thread's ACE log
// settings) and returns at once. The line and segment operations run on
// that reading thread. wait and terminate may be called from any thread,
// also while call runs elsewhere, but never from the handler's own line or
// segment operations nor from an exit handler. One child at a time: spawn or call while a child runs
// fails. A derived handler must wait for or terminate a spawned child before
// it is destroyed (the base destructor does so only as a last resort, when
// the derived operations are already gone).
class Text_Process_Handler {
 public:
  // max_line: longest line handed on whole; 0 takes the default (64 KiB).
  explicit Text_Process_Handler(unsigned long max_line = 0);
  virtual ~Text_Process_Handler();

  Text_Process_Handler(const Text_Process_Handler&) = delete;
  Text_Process_Handler& operator=(const Text_Process_Handler&) = delete;

  // Starts the child described by process and options, reads its output to
  // the end and reaps it. The process object and the options must stay alive
  // for the call.
  int call(ACE_Process_Ex& process, ACE_Process_Options& options);

  // call with an ACE_Process_Ex(flags, null, no log callback).
  int call(int flags, ACE_Process_Options& options);

  // Starts the child and returns at once: the child's pid, or -1 when it
  // could not be started. The process object may be destroyed afterwards;
  // the handler keeps what it needs. exit_handler, when not null, must stay
  // alive until wait or terminate has returned: its handle_exit is called
  // with a null process on the reading thread once the child has been reaped
  // and its output consumed.
  int spawn(ACE_Process_Ex& process, ACE_Process_Options& options, ACE_Event_Handler* exit_handler);

  // Blocks until the child has ended and its output has been consumed.
  int wait();
  // As wait, for at most timeout (relative); -1 with errno ETIME when the
  // child is still running then.
  int wait(const ACE_Time_Value& timeout);

  // Ends the child: SIGTERM to it (and to its process group when it leads
  // one), SIGKILL after grace_ms milliseconds when it has not ended, then
  // reaps it. 0 when no child is left running (also when none was
  // started or it had already ended), -1 when even SIGKILL did not end it
  // within a few seconds.
  int terminate(unsigned long grace_ms);

  // The child's pid while started; -1 before the first start.
  pid_t pid() const;
  // Whether a started child has not yet been reaped and read to the end.
  bool running() const;

  // Line operations, called for every complete line of the child's output.
  // The default logs standard output at LM_DEBUG and standard error at
  // LM_ERROR through log_line. The result is not consulted.
  virtual int handle_stdout_line(const char* line, unsigned long len);
  virtual int handle_stderr_line(const char* line, unsigned long len);

  // Raw bytes as read from each pipe; the default cuts them into lines.
  virtual int handle_stdout_segment(const char* data, unsigned long len);
  virtual int handle_stderr_segment(const char* data, unsigned long len);

  // End of each stream; the default hands on an unterminated last line.
  virtual int handle_stdout_close();
  virtual int handle_stderr_close();

  // How long descendants of an ended child are still read (milliseconds).
  static constexpr unsigned LINGER_MS = 2000;

 protected:
  // Writes one line to the child's log: the ACE_Process_Ex's log callback
  // when it has one, else the calling thread's ACE log. Lines longer than
  // one log record are written in several records.
  void log_line(ACE_Log_Priority priority, const char* line, unsigned long len);

 private:
  struct Run;

  int start(ACE_Process_Ex& process, ACE_Process_Options& options);
  void pump();
  int finish_wait(bool have_deadline, const ACE_Time_Value& deadline);
  static ACE_THR_FUNC_RETURN pump_thread(void* self);

  std::unique_ptr<Run> run_;
};

#endif
