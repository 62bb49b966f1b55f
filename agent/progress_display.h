#ifndef AGENT_PROGRESS_DISPLAY_H
#define AGENT_PROGRESS_DISPLAY_H

#include <cstdio>
#include <functional>
#include <string>

// One progress report of a job: bytes done of a total, the total 0 when it
// is not known; `percent` is the job's own figure, shown only by reports
// that carry no sizes.
struct Progress_Sample {
  int percent = 0;
  unsigned long long done = 0;
  unsigned long long total = 0;
};

// A byte count for people: "512 B", "1.5 KiB", "274.0 MiB".
std::string human_bytes(double bytes);
// A duration for people: "4.2s" below ten seconds, "45s", "3m05s", "2h07m".
std::string human_duration(double seconds);

// Shows a job's progress on one output stream. On a terminal one line
// ("45%  123.4 MiB of 274.0 MiB  56.7 MiB/s  3s left", or without a total
// "123.4 MiB  56.7 MiB/s") is redrawn in place ("\r", the line cleared to its
// end) at most every REDRAW_SECONDS; elsewhere, so that logs and pipes stay
// readable, one plain line "progress: ..." per ten percent at most, or
// without a total one per PLAIN_SECONDS at most. The throughput is the mean
// since the first report of bytes done, so that the time before the data
// begins to move does not count; it (and the time left) is shown only once
// RATE_SECONDS have passed since then, since reports arrive in bursts (the
// agent collects them a few times a second) and a mean over a shorter time
// says nothing. Not thread-safe: one thread (the agent's
// main thread) drives it.
class Progress_Display {
 public:
  // Seconds on a steady clock; the default reads std::chrono::steady_clock.
  typedef std::function<double()> Clock;
  static constexpr double REDRAW_SECONDS = 0.25;
  static constexpr double PLAIN_SECONDS = 10.0;
  static constexpr double RATE_SECONDS = 1.0;

  // `out` is borrowed and must outlive the display; `terminal` chooses the
  // line redrawn in place.
  Progress_Display(std::FILE* out, bool terminal, Clock clock = Clock());

  // Takes the newest report; shows it when the mode's limit allows.
  void update(const Progress_Sample& sample);
  // Redraws the newest report on a terminal when the limit allows, so that
  // the throughput and time left follow the clock between reports.
  void tick();
  // Clears the terminal's progress line, when one was drawn, so that later
  // text starts on an empty line; the next update draws afresh.
  void finish();
  // Ends the display of a job that completed: its last figure is shown as
  // the whole way done (100%, the total reached) and stays, on a terminal as
  // a line of its own, elsewhere as the last plain line unless that was
  // shown already. Nothing when no report came.
  void complete();
  // Seconds from the first report of bytes done to now; 0 before it and
  // while they are fewer than RATE_SECONDS, for a shorter time gives no
  // useful rate.
  double moving_seconds() const;

 private:
  std::string describe(const Progress_Sample& s, double now) const;
  void draw(double now);

  std::FILE* out_;
  bool terminal_;
  Clock clock_;
  bool based_ = false;  // the first report of bytes done was seen
  double base_time_ = 0;
  unsigned long long base_done_ = 0;
  bool have_sample_ = false;
  Progress_Sample last_;
  bool drawn_ = false;       // a terminal line is on the screen
  double shown_at_ = -1e18;  // when a line was last written
  std::string shown_;        // what the terminal line shows
  int decile_ = -1;          // plain mode: the last tenth of the way shown
};

#endif
