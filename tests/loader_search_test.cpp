// Reading the loader cache: a name is found where the loader finds it, in a cache ldconfig
// wrote; a cache this search cannot follow says so; and a damaged file is never read outside.
#include "visa/loader_search.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace kobrant::tool {
namespace {

constexpr std::int32_t x86_64_flags = 0x0303;

std::vector<std::byte> read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<char> chars{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  std::vector<std::byte> bytes(chars.size());
  if (!chars.empty()) std::memcpy(bytes.data(), chars.data(), chars.size());
  return bytes;
}

// A cache of the system's own libraries, written by ldconfig; empty when there is none to run.
std::vector<std::byte> system_cache(const test::temp_dir& dir) {
  const std::string cache = (dir / "ld.so.cache").string();
  const std::string command = "PATH=$PATH:/sbin:/usr/sbin ldconfig -X -C '" + cache + "' -f /dev/null 2>/dev/null";
  if (std::system(command.c_str()) != 0) return {};
  return read_file(cache);
}

// One-entry caches in the new format, optionally behind an empty old-format one.
std::vector<std::byte> one_entry_cache(std::int32_t flags, std::uint64_t hwcap, bool old_first = false) {
  const std::string key = "libvisa.so.0", value = "/opt/vendor/lib/libvisa.so.0";
  std::vector<std::byte> out;
  auto put = [&](const void* p, std::size_t n) {
    const auto* b = static_cast<const std::byte*>(p);
    out.insert(out.end(), b, b + n);
  };
  auto u32 = [&](std::uint32_t v) { put(&v, 4); };
  if (old_first) {
    put("ld.so-1.7.0", 11);
    out.resize(12);
    u32(0);  // no old entries: the new header follows at offset 16
  }
  const std::size_t base = out.size();
  put("glibc-ld.so.cache1.1", 20);
  u32(1);                                        // entries
  u32(static_cast<std::uint32_t>(key.size() + value.size() + 2));  // string table size
  out.push_back(std::byte{2});                   // little endian
  out.resize(base + 48);
  const auto key_at = static_cast<std::uint32_t>(48 + 24);
  const auto value_at = static_cast<std::uint32_t>(key_at + key.size() + 1);
  put(&flags, 4);
  u32(key_at);
  u32(value_at);
  u32(0);
  put(&hwcap, 8);
  put(key.c_str(), key.size() + 1);
  put(value.c_str(), value.size() + 1);
  return out;
}

TEST(loader_cache, finds_names_where_the_loader_does_in_a_cache_ldconfig_wrote) {
  if constexpr (std::endian::native != std::endian::little) GTEST_SKIP();
  test::temp_dir dir;
  const std::vector<std::byte> cache = system_cache(dir);
  if (cache.empty()) GTEST_SKIP() << "no ldconfig here";
  // Names the binary search must reach from either side of the sorted table.
  for (const char* name : {"libc.so.6", "libm.so.6", "ld-linux-x86-64.so.2"}) {
    const cache_lookup found = look_up_loader_cache(cache, name, x86_64_flags);
    if (found.answer == cache_answer::absent && std::string(name) == "ld-linux-x86-64.so.2") continue;
    ASSERT_EQ(found.answer, cache_answer::found) << name;
    EXPECT_TRUE(found.path.ends_with(std::string("/") + name)) << found.path;
    EXPECT_TRUE(std::filesystem::exists(found.path)) << found.path;
  }
  EXPECT_EQ(look_up_loader_cache(cache, "libc.so.6", 0x0003).answer, cache_answer::absent)
      << "a 32-bit entry is no use to this process";
  for (const char* name : {"libvisa.so.0", "libc.so.60", "libc.so.5", "libc.so", "", "zzz", "\x7f"}) {
    EXPECT_EQ(look_up_loader_cache(cache, name, x86_64_flags).answer, cache_answer::absent) << name;
  }
}

TEST(loader_cache, damaged_caches_are_never_read_outside_the_file) {
  test::temp_dir dir;
  std::vector<std::byte> cache = system_cache(dir);
  if (cache.empty()) cache = one_entry_cache(x86_64_flags, 0);
  // Every truncation: once the entries no longer fit nothing is trusted, and a name is only
  // found while its strings are still whole. Under the address sanitizer, a read past the end
  // stops the test.
  const cache_lookup whole = look_up_loader_cache(cache, "libc.so.6", x86_64_flags);
  for (std::size_t size = 0; size < cache.size(); size += size < 4096 ? 1 : 97) {
    std::vector<std::byte> cut(cache.begin(), cache.begin() + static_cast<std::ptrdiff_t>(size));
    const cache_lookup found = look_up_loader_cache(cut, "libc.so.6", x86_64_flags);
    if (found.answer == cache_answer::found) {
      EXPECT_EQ(found.path, whole.path) << size;
    }
    if (size < 48) {
      EXPECT_EQ(found.answer, cache_answer::unsure) << size;
    }
  }
  // Offsets, counts and the endianness mark damaged one byte at a time in the header and the
  // first entries.
  for (std::size_t at = 0; at < std::min<std::size_t>(cache.size(), 48 + 24 * 4); ++at) {
    std::vector<std::byte> bad = cache;
    bad[at] ^= std::byte{0xFF};
    (void)look_up_loader_cache(bad, "libc.so.6", x86_64_flags);
  }
  // A string that runs to the end of the file without its terminator.
  std::vector<std::byte> open_ended = one_entry_cache(x86_64_flags, 0);
  open_ended.back() = std::byte{'x'};
  EXPECT_EQ(look_up_loader_cache(open_ended, "libvisa.so.0", x86_64_flags).answer, cache_answer::unsure);
}

TEST(loader_cache, entries_the_loader_chooses_among_by_processor_leave_the_choice_to_it) {
  struct cache_case {
    const char* name;
    std::vector<std::byte> file;
    cache_answer answer;
  };
  const std::vector<cache_case> cases = {
      {"plain entry", one_entry_cache(x86_64_flags, 0), cache_answer::found},
      {"behind the old format", one_entry_cache(x86_64_flags, 0, true), cache_answer::found},
      {"other kind of library", one_entry_cache(0x0003, 0), cache_answer::absent},
      {"processor-specific entry", one_entry_cache(x86_64_flags, std::uint64_t{1} << 62), cache_answer::unsure},
  };
  for (const auto& c : cases) {
    const cache_lookup found = look_up_loader_cache(c.file, "libvisa.so.0", x86_64_flags);
    EXPECT_EQ(found.answer, c.answer) << c.name;
    if (c.answer == cache_answer::found) {
      EXPECT_EQ(found.path, "/opt/vendor/lib/libvisa.so.0") << c.name;
    }
  }
  std::vector<std::byte> big_endian = one_entry_cache(x86_64_flags, 0);
  big_endian[28] = std::byte{3};
  EXPECT_EQ(look_up_loader_cache(big_endian, "libvisa.so.0", x86_64_flags).answer, cache_answer::unsure);
}

}  // namespace
}  // namespace kobrant::tool
