#include "terminal_progress.h"

#include <algorithm>
#include <cmath>

namespace voluna {

std::string TerminalProgress::line(Stage stage, double fraction, double secondsLeft, int width) {
  fraction = std::clamp(fraction, 0.0, 1.0);
  const int filled = static_cast<int>(std::floor(fraction * width));
  std::string text = "[" + std::string(filled, '#') + std::string(width - filled, '-') + "] ";
  char percent[8];
  std::snprintf(percent, sizeof percent, "%3d %%", static_cast<int>(std::floor(fraction * 100.0)));
  text += percent;
  text += stage == Stage::VectorField ? "  Calculate vectorfield..." : "  Filtering data...";
  if (secondsLeft >= 0.0 && fraction < 1.0) {
    const long total = std::lround(secondsLeft);
    char left[48];
    std::snprintf(left, sizeof left, "  about %ld:%02ld left", total / 60, total % 60);
    text += left;
  }
  return text;
}

void TerminalProgress::update(Stage stage, double fraction) {
  const auto now = ProgressEstimate::Clock::now();
  if (!started_ || stage != stage_) {
    started_ = true;
    stage_ = stage;
    estimate_.start(now);
  } else if (now - lastDraw_ < std::chrono::milliseconds(100) && fraction < 1.0) {
    return;
  }
  lastDraw_ = now;
  // A finished stage leaves a clean line behind, so that the next stage's
  // line on standard output starts at the left edge.
  if (fraction >= 1.0) {
    finish();
    return;
  }
  const std::string text = line(stage, fraction, estimate_.secondsLeft(fraction, now));
  // Pad over the remains of a longer previous line.
  const size_t pad = lastLength_ > text.size() ? lastLength_ - text.size() : 0;
  std::fprintf(stream_, "\r%s%s", text.c_str(), std::string(pad, ' ').c_str());
  std::fflush(stream_);
  lastLength_ = text.size();
}

void TerminalProgress::finish() {
  if (lastLength_ > 0) {
    std::fprintf(stream_, "\r%s\r", std::string(lastLength_, ' ').c_str());
    std::fflush(stream_);
  }
  lastLength_ = 0;
}

}  // namespace voluna
