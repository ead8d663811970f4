#include "support/OpenDescriptors.hpp"

#include <dirent.h>

namespace ombrelia::test {

size_t openDescriptorCount() {
  size_t count = 0;
  if (DIR* dir = ::opendir("/proc/self/fd")) {
    while (::readdir(dir) != nullptr) ++count;
    ::closedir(dir);
  }
  return count;
}

}  // namespace ombrelia::test
