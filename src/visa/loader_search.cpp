// The loader's search, followed without the loader (loader_search.h). The cache format is
// glibc's: a 48-byte header ("glibc-ld.so.cache1.1", the entry count, the string table's size,
// an endianness mark), then 24-byte entries (flags, name offset, path offset, an unused word,
// processor features), then the strings; offsets count from the header's first byte. An older
// format may come first, with the new one after it on an 8-byte boundary. The entries are
// sorted for the loader's binary search, which is repeated here so that a name is found exactly
// where the loader finds it.
#include "visa/loader_search.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>

#if defined(__linux__) && defined(__GLIBC__)
#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace kobrant::tool {
namespace {

constexpr std::string_view new_magic = "glibc-ld.so.cache1.1";
constexpr std::string_view old_magic = "ld.so-1.7.0";
constexpr std::size_t new_header_size = 48;
constexpr std::size_t new_entry_size = 24;
constexpr std::size_t old_header_size = 16;
constexpr std::size_t old_entry_size = 12;

// The header's endianness mark: 0 (not set, older writers) or the writer's byte order.
constexpr std::uint8_t endian_unset = 0;
constexpr std::uint8_t endian_native = std::endian::native == std::endian::little ? 2 : 3;

template <typename T>
T load(std::span<const std::byte> bytes, std::size_t offset) {
  T value;
  std::memcpy(&value, bytes.data() + offset, sizeof value);
  return value;
}

bool digit(char c) { return c >= '0' && c <= '9'; }

// The loader's order of library names: runs of digits compare by value, so libfoo.so.10 sorts
// after libfoo.so.9, and a digit sorts after any other character. Only the sign matters.
int compare_names(std::string_view a, std::string_view b) {
  std::size_t i = 0, j = 0;
  while (i < a.size()) {
    if (digit(a[i])) {
      if (j >= b.size() || !digit(b[j])) return 1;
      // Compared by length without leading zeros, then digit by digit: no overflow however long.
      std::size_t i0 = i, j0 = j;
      while (i < a.size() && digit(a[i])) ++i;
      while (j < b.size() && digit(b[j])) ++j;
      std::string_view x = a.substr(i0, i - i0), y = b.substr(j0, j - j0);
      x.remove_prefix(std::min(x.find_first_not_of('0'), x.size()));
      y.remove_prefix(std::min(y.find_first_not_of('0'), y.size()));
      if (x.size() != y.size()) return x.size() < y.size() ? -1 : 1;
      if (int c = x.compare(y)) return c;
    } else if (j < b.size() && digit(b[j])) {
      return -1;
    } else if (j >= b.size()) {
      return 1;
    } else if (a[i] != b[j]) {
      return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]) ? -1 : 1;
    } else {
      ++i;
      ++j;
    }
  }
  return j < b.size() ? -1 : 0;
}

// The new-format part of the file: its header, entries and strings, all inside the file.
struct new_cache {
  std::span<const std::byte> table;  // from the header's first byte to the end of the file
  std::uint32_t count = 0;

  // The NUL-terminated string at offset, or nothing when it does not end inside the file.
  std::optional<std::string_view> string_at(std::uint32_t offset) const {
    if (offset >= table.size()) return std::nullopt;
    const auto* start = reinterpret_cast<const char*>(table.data()) + offset;
    const void* nul = std::memchr(start, 0, table.size() - offset);
    if (!nul) return std::nullopt;
    return std::string_view(start, static_cast<std::size_t>(static_cast<const char*>(nul) - start));
  }
  std::size_t entry(std::uint32_t i) const { return new_header_size + std::size_t{i} * new_entry_size; }
  std::int32_t flags(std::uint32_t i) const { return load<std::int32_t>(table, entry(i)); }
  std::optional<std::string_view> key(std::uint32_t i) const { return string_at(load<std::uint32_t>(table, entry(i) + 4)); }
  std::optional<std::string_view> value(std::uint32_t i) const { return string_at(load<std::uint32_t>(table, entry(i) + 8)); }
  std::uint64_t hwcap(std::uint32_t i) const { return load<std::uint64_t>(table, entry(i) + 16); }
};

std::optional<new_cache> find_new_cache(std::span<const std::byte> file) {
  auto starts_with = [&](std::size_t at, std::string_view magic) {
    return file.size() - at >= magic.size() && std::memcmp(file.data() + at, magic.data(), magic.size()) == 0;
  };
  std::size_t at = 0;
  if (!starts_with(0, new_magic)) {
    if (file.size() < old_header_size || !starts_with(0, old_magic)) return std::nullopt;
    const std::uint32_t old_count = load<std::uint32_t>(file, 12);
    if (old_count > (file.size() - old_header_size) / old_entry_size) return std::nullopt;
    at = (old_header_size + std::size_t{old_count} * old_entry_size + 7) & ~std::size_t{7};
    if (at > file.size() || !starts_with(at, new_magic)) return std::nullopt;
  }
  if (file.size() - at < new_header_size) return std::nullopt;
  new_cache cache{file.subspan(at), load<std::uint32_t>(file, at + 20)};
  const auto endian = std::to_integer<std::uint8_t>(file[at + 28]);
  if (endian != endian_unset && endian != endian_native) return std::nullopt;
  if (cache.count > (cache.table.size() - new_header_size) / new_entry_size) return std::nullopt;
  return cache;
}

}  // namespace

cache_lookup look_up_loader_cache(std::span<const std::byte> file, std::string_view name,
                                  std::int32_t wanted_flags) {
  const std::optional<new_cache> cache = find_new_cache(file);
  if (!cache) return {};
  // The loader's binary search (entries run from the greatest name down), then every entry of
  // the same name from the first.
  std::int64_t left = 0, right = std::int64_t{cache->count} - 1;
  while (left <= right) {
    const auto middle = static_cast<std::uint32_t>((left + right) / 2);
    const auto key = cache->key(middle);
    if (!key) return {};
    const int order = compare_names(name, *key);
    if (order < 0) {
      left = middle + 1;
    } else if (order > 0) {
      right = std::int64_t{middle} - 1;
    } else {
      std::uint32_t i = middle;
      while (i > 0) {
        const auto before = cache->key(i - 1);
        if (!before) return {};
        if (compare_names(name, *before) != 0) break;
        --i;
      }
      for (; i < cache->count; ++i) {
        const auto same = cache->key(i);
        if (!same) return {};
        if (compare_names(name, *same) != 0) break;
        if (cache->flags(i) != wanted_flags) continue;
        // An entry for some processors only: the loader picks among those by this
        // processor's features, which only it knows.
        if (cache->hwcap(i) != 0) return {};
        const auto path = cache->value(i);
        if (!path) return {};
        return {cache_answer::found, std::string(*path)};
      }
      break;
    }
  }
  return {cache_answer::absent, {}};
}

#if defined(__linux__) && defined(__GLIBC__) && \
    ((defined(__x86_64__) && defined(__LP64__)) || (defined(__aarch64__) && defined(__LP64__)))

namespace {

// The cache entries this process's loader takes: ELF, glibc, and the 64-bit library kind of
// the processor.
#if defined(__x86_64__)
constexpr std::int32_t library_flags = 0x0303;
#else
constexpr std::int32_t library_flags = 0x0A03;
#endif

constexpr const char* loader_cache = "/etc/ld.so.cache";

// What the loader cache says about name. No cache, or an empty one, is the loader's "absent".
cache_lookup read_loader_cache(std::string_view name) {
  const int fd = ::open(loader_cache, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {errno == ENOENT ? cache_answer::absent : cache_answer::unsure, {}};
  cache_lookup found;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    found = {};
  } else if (st.st_size == 0) {
    found = {cache_answer::absent, {}};
  } else {
    const auto size = static_cast<std::size_t>(st.st_size);
    void* map = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
    if (map != MAP_FAILED) {
      found = look_up_loader_cache(std::span(static_cast<const std::byte*>(map), size), name, library_flags);
      ::munmap(map, size);
    }
  }
  ::close(fd);
  return found;
}

// The folders of LD_LIBRARY_PATH as the loader keeps them: split at ':' and ';', an empty one
// meaning the current folder, trailing slashes dropped, each folder once. A folder with a
// dynamic token ($ORIGIN, $LIB, ...) makes the list one this search cannot follow.
bool library_path_folders(std::vector<std::string>& out) {
  // With elevated rights (set-user-ID and the like) the loader ignores the variable, and so
  // does secure_getenv.
  const char* path = ::secure_getenv("LD_LIBRARY_PATH");
  if (!path) return true;
  std::string_view rest = path;
  for (;;) {
    const std::size_t end = rest.find_first_of(":;");
    const std::string_view given = rest.substr(0, end);
    if (given.find('$') != std::string_view::npos) return false;
    std::string folder(given.empty() ? std::string_view(".") : given);
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    if (std::find(out.begin(), out.end(), folder) == out.end()) out.push_back(std::move(folder));
    if (end == std::string_view::npos) return true;
    rest.remove_prefix(end + 1);
  }
}

// The folders the loader searches for this program, in its order, as it reports them: those
// of LD_LIBRARY_PATH, then the system's. Nothing when the program carries search paths of its
// own (RPATH, RUNPATH), which would put folders where this search does not expect them.
bool loader_folders(std::vector<std::string>& out) {
  for (const ElfW(Dyn)* d = _DYNAMIC; d->d_tag != DT_NULL; ++d) {
    if (d->d_tag == DT_RPATH || d->d_tag == DT_RUNPATH) return false;
  }
  void* self = ::dlopen(nullptr, RTLD_LAZY);
  if (!self) return false;
  Dl_serinfo size{};
  bool ok = ::dlinfo(self, RTLD_DI_SERINFOSIZE, &size) == 0;
  if (ok) {
    std::vector<std::max_align_t> storage(size.dls_size / sizeof(std::max_align_t) + 1);
    auto* info = reinterpret_cast<Dl_serinfo*>(storage.data());
    info->dls_size = size.dls_size;
    info->dls_cnt = size.dls_cnt;
    ok = ::dlinfo(self, RTLD_DI_SERINFO, info) == 0;
    for (unsigned i = 0; ok && i < info->dls_cnt; ++i) out.emplace_back(info->dls_serpath[i].dls_name);
  }
  ::dlclose(self);
  return ok;
}

void add_if_there(std::vector<std::string>& found, std::string_view folder, std::string_view name) {
  std::string path(folder);
  if (path.empty() || path.back() != '/') path += '/';
  path += name;
  if (::access(path.c_str(), F_OK) == 0) found.push_back(std::move(path));
}

}  // namespace

std::vector<std::string> find_like_the_loader(std::string_view name, bool& ask_the_loader) {
  ask_the_loader = true;
  std::vector<std::string> found;
  std::vector<std::string> from_variable, folders;
  if (!library_path_folders(from_variable) || !loader_folders(folders)) return found;
  // The loader's list must open with the variable's folders as this search read them.
  if (folders.size() < from_variable.size() ||
      !std::equal(from_variable.begin(), from_variable.end(), folders.begin())) {
    return found;
  }
  for (const std::string& folder : from_variable) add_if_there(found, folder, name);
  const cache_lookup cached = read_loader_cache(name);
  if (cached.answer == cache_answer::unsure) {
    found.clear();
    return found;
  }
  if (cached.answer == cache_answer::found && ::access(cached.path.c_str(), F_OK) == 0) {
    found.push_back(cached.path);
  }
  for (std::size_t i = from_variable.size(); i < folders.size(); ++i) add_if_there(found, folders[i], name);
  ask_the_loader = false;
  return found;
}

#else

// Elsewhere the loader's search is not one this file knows: the caller asks the loader.
std::vector<std::string> find_like_the_loader(std::string_view, bool& ask_the_loader) {
  ask_the_loader = true;
  return {};
}

#endif

}  // namespace kobrant::tool
