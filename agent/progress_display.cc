#include "agent/progress_display.h"

#include <chrono>

namespace {

// Clears from the cursor to the end of the line on a terminal.
const char CLEAR_TO_EOL[] = "\x1b[K";

double steady_seconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// The percentage a report stands for: from its sizes when the total is
// known, the job's own figure when it carries no sizes, -1 when only the
// bytes done are known.
int percent_of(const Progress_Sample& s) {
  long long p;
  if (s.total > 0)
    p = static_cast<long long>(static_cast<double>(s.done) * 100.0 / static_cast<double>(s.total));
  else if (s.done == 0)
    p = s.percent;
  else
    return -1;
  return p < 0 ? 0 : p > 100 ? 100 : static_cast<int>(p);
}

}  // namespace

std::string human_bytes(double bytes) {
  static const char* const UNITS[] = {"KiB", "MiB", "GiB", "TiB", "PiB"};
  char text[32];
  if (bytes < 1024) {
    std::snprintf(text, sizeof text, "%.0f B", bytes < 0 ? 0.0 : bytes);
    return text;
  }
  int unit = -1;
  while (bytes >= 1024 && unit < 4) {
    bytes /= 1024;
    ++unit;
  }
  std::snprintf(text, sizeof text, "%.1f %s", bytes, UNITS[unit]);
  return text;
}

std::string human_duration(double seconds) {
  char text[32];
  if (seconds < 0) seconds = 0;
  if (seconds < 9.95) {
    std::snprintf(text, sizeof text, "%.1fs", seconds);
    return text;
  }
  const long long s = static_cast<long long>(seconds + 0.5);
  if (s < 60)
    std::snprintf(text, sizeof text, "%llds", s);
  else if (s < 3600)
    std::snprintf(text, sizeof text, "%lldm%02llds", s / 60, s % 60);
  else
    std::snprintf(text, sizeof text, "%lldh%02lldm", s / 3600, s % 3600 / 60);
  return text;
}

Progress_Display::Progress_Display(std::FILE* out, bool terminal, Clock clock)
    : out_(out), terminal_(terminal), clock_(clock ? clock : Clock(steady_seconds)) {}

std::string Progress_Display::describe(const Progress_Sample& s, double now) const {
  const int percent = percent_of(s);
  const char* sep = terminal_ ? "  " : ", ";
  std::string text;
  if (percent >= 0) text = std::to_string(percent) + "%";
  if (s.done == 0 && s.total == 0) return text;
  if (!text.empty()) text += sep;
  text += human_bytes(static_cast<double>(s.done));
  if (s.total > 0) text += " of " + human_bytes(static_cast<double>(s.total));
  const double elapsed = now - base_time_;
  if (!based_ || elapsed < RATE_SECONDS || s.done <= base_done_) return text;
  const double rate = static_cast<double>(s.done - base_done_) / elapsed;
  text += sep + human_bytes(rate) + "/s";
  if (s.total > s.done) text += sep + human_duration(static_cast<double>(s.total - s.done) / rate) + " left";
  return text;
}

void Progress_Display::draw(double now) {
  const std::string text = describe(last_, now);
  if (text == shown_ && drawn_) return;
  std::fprintf(out_, "\r%s%s", text.c_str(), CLEAR_TO_EOL);
  std::fflush(out_);
  shown_ = text;
  shown_at_ = now;
  drawn_ = true;
}

void Progress_Display::update(const Progress_Sample& sample) {
  const double now = clock_();
  last_ = sample;
  have_sample_ = true;
  if (!based_ && sample.done > 0) {
    based_ = true;
    base_time_ = now;
    base_done_ = sample.done;
  }
  if (terminal_) {
    if (now - shown_at_ >= REDRAW_SECONDS) draw(now);
    return;
  }
  const int percent = percent_of(sample);
  if (percent >= 0) {
    if (percent / 10 <= decile_) return;
    decile_ = percent / 10;
  } else if (now - shown_at_ < PLAIN_SECONDS) {
    return;
  }
  shown_at_ = now;
  std::fprintf(out_, "progress: %s\n", describe(sample, now).c_str());
  std::fflush(out_);
}

void Progress_Display::tick() {
  if (!terminal_ || !have_sample_) return;
  const double now = clock_();
  if (now - shown_at_ >= REDRAW_SECONDS) draw(now);
}

void Progress_Display::finish() {
  if (drawn_) std::fprintf(out_, "\r%s", CLEAR_TO_EOL);
  std::fflush(out_);
  drawn_ = false;
  have_sample_ = false;
  shown_.clear();
  shown_at_ = -1e18;
}

void Progress_Display::complete() {
  if (!have_sample_) return;
  if (last_.total > 0 && last_.done < last_.total) last_.done = last_.total;
  if (last_.total == 0 && last_.done == 0) last_.percent = 100;
  const double now = clock_();
  if (terminal_) {
    draw(now);
    std::fputc('\n', out_);
  } else if (decile_ < 10) {
    std::fprintf(out_, "progress: %s\n", describe(last_, now).c_str());
  }
  std::fflush(out_);
  drawn_ = false;
  have_sample_ = false;
  shown_.clear();
  shown_at_ = -1e18;
}

double Progress_Display::moving_seconds() const {
  const double seconds = based_ ? clock_() - base_time_ : 0;
  return seconds >= RATE_SECONDS ? seconds : 0;
}
