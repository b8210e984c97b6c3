// Files the relay writes itself (the stream log): opened for appending,
// written, measured, renamed and removed. Calls wait on the disk, so only a
// thread of their own makes them, never the relay's path. Failures come back
// with the system's own words for them ("No space left on device").
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace veltor {

// A file open for appending: every write lands at its end, whoever else
// writes it. Owns its handle, closed by Close() or the destructor.
class AppendFile {
 public:
  AppendFile() = default;
  ~AppendFile();
  AppendFile(const AppendFile&) = delete;
  AppendFile& operator=(const AppendFile&) = delete;

  // Opens `path` (closing any file held before), created when missing with
  // mode 0640 where the system has modes; no child process inherits it. Other
  // programs may read, rename or remove it while it is open.
  bool Open(const std::string& path, std::string& error);
  bool IsOpen() const { return handle_ != kNoFile; }
  // The file's size now; -1 on failure.
  int64_t Size(std::string& error) const;
  // Writes up to `length` bytes; returns how many went (possibly fewer), or
  // -1 on failure.
  int64_t Write(const uint8_t* bytes, size_t length, std::string& error);
  void Close();

 private:
  static constexpr intptr_t kNoFile = -1;
  intptr_t handle_ = kNoFile;  // a descriptor, or a Windows handle
};

enum class RenameOutcome { kRenamed, kNoSource, kFailed };
// Renames `from` to `to`, replacing a file at `to` on every system. The file
// must not be open here (Windows cannot rename an open file it did not share).
RenameOutcome RenameFile(const std::string& from, const std::string& to, std::string& error);
// Removes `path`; true as well when there was none.
bool RemoveFile(const std::string& path, std::string& error);

}  // namespace veltor
