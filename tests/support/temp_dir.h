// A private temporary directory for one test, removed with everything in it afterwards.
#pragma once

#include <filesystem>

namespace kobrant::test {

class temp_dir {
 public:
  temp_dir();  // under $TMPDIR, else /tmp; throws std::system_error on failure
  ~temp_dir();
  temp_dir(const temp_dir&) = delete;
  temp_dir& operator=(const temp_dir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::filesystem::path& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

}  // namespace kobrant::test
