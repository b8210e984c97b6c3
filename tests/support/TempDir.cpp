#include "tests/support/TempDir.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <system_error>
#include <vector>

namespace veltor::testing {

TempDir::TempDir() {
  std::string pattern = "/tmp/veltor-test-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  // mkdtemp creates the directory with mode 0700 and a name nobody else holds,
  // so parallel test processes never share or clobber each other's files.
  if (::mkdtemp(buffer.data()) != nullptr) path_ = buffer.data();
}

TempDir::~TempDir() {
  if (path_.empty()) return;
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::WriteFile(const std::string& name, const std::string& contents) {
  if (path_.empty() || name.empty()) return {};
  const std::string full = path_ + "/" + name;
  {
    std::ofstream file(full, std::ios::binary | std::ios::trunc);
    if (!file) return {};
    file.write(contents.data(), static_cast<std::streamsize>(contents.size()));
    file.flush();
    if (!file) return {};
  }
  return full;
}

}  // namespace veltor::testing
