// The text of the progress line: amounts in the largest unit that keeps them at or above 1.
#include "exchange/progress.h"

#include <gtest/gtest.h>

namespace {

TEST(progress, text_names_amount_rate_and_time_in_fitting_units) {
  using std::chrono::milliseconds;
  struct { std::uint64_t bytes; milliseconds elapsed; const char* text; } cases[] = {
      {0, milliseconds(0), "0 B received, 0 B/s, 0.0 s"},
      {1023, milliseconds(1000), "1023 B received, 1023 B/s, 1.0 s"},
      {1024, milliseconds(2000), "1.0 KiB received, 512 B/s, 2.0 s"},
      {3u << 20, milliseconds(500), "3.0 MiB received, 6.0 MiB/s, 0.5 s"},
      {(5ull << 30) + (512ull << 20), milliseconds(11000), "5.5 GiB received, 512.0 MiB/s, 11.0 s"},
      {1ull << 50, milliseconds(1000), "1024.0 TiB received, 1024.0 TiB/s, 1.0 s"},
  };
  for (const auto& c : cases) EXPECT_EQ(progress_text(c.bytes, c.elapsed), c.text) << c.bytes;
}

}  // namespace
