// A scratch directory for one test: configuration files and anything else a
// test wants on disk, gone again when the test ends.
#pragma once

#include <string>

namespace veltor::testing {

class TempDir {
 public:
  // Creates a fresh directory veltor-test-N in the system's temporary
  // directory (readable by its owner only). If that fails, Path()
  // is empty and WriteFile() fails; the constructor never throws for it.
  TempDir();
  // Removes the directory and everything in it; errors are ignored.
  ~TempDir();

  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& Path() const { return path_; }

  // Writes `contents` byte for byte (no newline translation) to Path()/name,
  // replacing any file of that name. Returns the full path, or "" on failure.
  std::string WriteFile(const std::string& name, const std::string& contents);

 private:
  std::string path_;
};

}  // namespace veltor::testing
