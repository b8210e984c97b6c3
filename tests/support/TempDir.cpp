#include "tests/support/TempDir.h"

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <system_error>

namespace veltor::testing {

TempDir::TempDir() {
  // A fresh name each try: create_directory fails on one that exists, so
  // parallel test processes never share or clobber each other's files.
  std::error_code error;
  const std::filesystem::path base = std::filesystem::temp_directory_path(error);
  if (error) return;
  std::random_device entropy;
  std::mt19937_64 names(entropy());
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::filesystem::path candidate = base / ("veltor-test-" + std::to_string(names() % 1000000000000ULL));
    if (!std::filesystem::create_directory(candidate, error) || error) continue;
    std::filesystem::permissions(candidate, std::filesystem::perms::owner_all, error);
    path_ = candidate.generic_string();
    return;
  }
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
