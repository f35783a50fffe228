// A folder of its own below the temporary folder, removed with its files when it goes.
#pragma once

#include <string>

namespace daxcheck {

class ScratchFolder {
 public:
  ScratchFolder();
  ~ScratchFolder();
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  // Empty when no folder could be made.
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace daxcheck
