// The names in a directory, for the sysfs walks of the listing.
#pragma once

#include <dirent.h>

#include <string>
#include <string_view>
#include <vector>

namespace kobrant::visa {

// The names in the directory at path, "." and ".." left out, in the order the system gives
// them; none when it cannot be opened.
inline std::vector<std::string> directory_entries(const std::string& path) {
  std::vector<std::string> names;
  DIR* dir = ::opendir(path.c_str());
  if (!dir) return names;
  while (const dirent* item = ::readdir(dir)) {
    const std::string_view name = item->d_name;
    if (name != "." && name != "..") names.emplace_back(name);
  }
  ::closedir(dir);
  return names;
}

}  // namespace kobrant::visa
