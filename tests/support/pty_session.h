#ifndef TESTS_SUPPORT_PTY_SESSION_H
#define TESTS_SUPPORT_PTY_SESSION_H

#include <sys/types.h>

#include <string>
#include <vector>

// A program run on a pseudo-terminal, as a person runs it in a terminal:
// its standard input, output and error are the terminal, it leads its own
// session with the terminal as its controlling one, and keys typed into it
// go through the terminal's line discipline (so "\x03" is a SIGINT to its
// foreground process group). One thread; the program still running when
// the object goes is killed and reaped.
class Pty_Session {
 public:
  Pty_Session() = default;
  ~Pty_Session();
  Pty_Session(const Pty_Session&) = delete;
  Pty_Session& operator=(const Pty_Session&) = delete;

  // Starts argv[0] (a path) with argv and the current environment. False
  // when the terminal or the process cannot be made.
  bool start(const std::vector<std::string>& argv);
  // Reads what the program shows until `text` is among it; false when the
  // program ended or timeout_ms passed first.
  bool wait_for(const std::string& text, int timeout_ms);
  // Types keys into the terminal.
  void type(const std::string& keys);
  // Reads to the program's end and reaps it: its exit status, 128 + the
  // signal that killed it, or -1 when it still ran after timeout_ms (it is
  // killed then).
  int finish(int timeout_ms);
  // Everything the program showed so far (line ends as the terminal gives
  // them, "\r\n").
  const std::string& screen() const { return screen_; }

 private:
  // Reads what comes within wait_ms into screen_: 1 when something came,
  // 0 when nothing did, -1 at the terminal's end (no process holds it).
  int read_some(int wait_ms);
  // Reaps the program when it has ended; true once it is reaped.
  bool reaped();

  pid_t pid_ = -1;
  int master_ = -1;
  int status_ = -1;
  std::string screen_;
};

#endif
