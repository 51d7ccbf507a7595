// The progress line. It is rewritten in place with a carriage return and padded with blanks to
// cover a longer earlier text, so it needs no terminal control sequences.
#include "exchange/progress.h"
#include "platform/platform.h"

#include <cstdio>

namespace {

using clock_type = std::chrono::steady_clock;

constexpr auto first_after = std::chrono::milliseconds(500);
constexpr auto update_every = std::chrono::milliseconds(100);

// One decimal in the largest unit that keeps the number at or above 1.
std::string amount(double bytes) {
  static const char* const units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  std::size_t unit = 0;
  while (bytes >= 1024 && unit + 1 < std::size(units)) {
    bytes /= 1024;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, units[unit]);
  return text;
}

void show(progress_line& line, const std::string& text) {
  std::string out = "\r" + text;
  if (text.size() < line.width) out.append(line.width - text.size(), ' ');
  std::fwrite(out.data(), 1, out.size(), stderr);
  line.width = text.size();
}

}  // namespace

std::string progress_text(std::uint64_t received, std::chrono::milliseconds elapsed) {
  const double seconds = static_cast<double>(elapsed.count()) / 1000;
  const double rate = seconds > 0 ? static_cast<double>(received) / seconds : 0;
  char time[32];
  std::snprintf(time, sizeof time, "%.1f s", seconds);
  return amount(static_cast<double>(received)) + " received, " + amount(rate) + "/s, " + time;
}

void progress_begin(progress_line& line, bool into_file) {
  line = progress_line{};
  line.enabled = into_file && is_terminal(stderr);
  if (line.enabled) line.start = clock_type::now();
}

void progress_update(progress_line& line, std::uint64_t received) {
  if (!line.enabled) return;
  const auto now = clock_type::now();
  if (now - line.start < first_after) return;
  if (line.width > 0 && now - line.shown_at < update_every) return;
  line.shown_at = now;
  show(line, progress_text(received, std::chrono::duration_cast<std::chrono::milliseconds>(now - line.start)));
}

void progress_erase(progress_line& line) {
  if (line.width == 0) return;
  show(line, "");
  std::fputc('\r', stderr);
  line.width = 0;
}
