#include "agent/progress_display.h"

#include <string>

Progress_Display::Progress_Display(std::FILE* out, bool terminal) : out_(out), terminal_(terminal) {}

void Progress_Display::update(int percent) {
  if (percent < 0) percent = 0;
  if (percent > 100) percent = 100;
  if (percent == shown_) return;
  shown_ = percent;
  if (terminal_) {
    const int filled = percent * BAR_WIDTH / 100;
    const std::string bar = std::string(filled, '#') + std::string(BAR_WIDTH - filled, '.');
    std::fprintf(out_, "\r[%s] %3d%%", bar.c_str(), percent);
  } else {
    std::fprintf(out_, "progress: %d%%\n", percent);
  }
  std::fflush(out_);
}

void Progress_Display::finish() {
  if (terminal_ && shown_ >= 0) std::fputc('\n', out_);
  std::fflush(out_);
  shown_ = -1;
}
