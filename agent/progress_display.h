#ifndef AGENT_PROGRESS_DISPLAY_H
#define AGENT_PROGRESS_DISPLAY_H

#include <cstdio>

// Shows a job's progress on one output stream: on a terminal a bar redrawn
// in place ("\r[#####.....]  50%"), otherwise one plain line per change
// ("progress: 50%"), so that logs and pipes stay readable. Not thread-safe:
// one thread (the agent's main thread) drives it.
class Progress_Display {
 public:
  // `out` is borrowed and must outlive the display; `terminal` chooses the
  // bar.
  Progress_Display(std::FILE* out, bool terminal);

  // Shows `percent` (clamped to 0..100) when it differs from the last one
  // shown.
  void update(int percent);
  // Ends the bar's line, when one was drawn, so that later text starts on a
  // line of its own.
  void finish();

 private:
  static const int BAR_WIDTH = 40;
  std::FILE* out_;
  bool terminal_;
  int shown_ = -1;
};

#endif
