#include "platform/File.h"

#include <algorithm>

#include "platform/windows/Winsock.h"

namespace veltor {

namespace {

// One write at most this much: WriteFile counts in 32 bits.
constexpr size_t kWriteMaxBytes = 1u << 30;

HANDLE Native(intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

// The system's message for `code`, without the line end and full stop it comes with.
std::string ErrorText(DWORD code) {
  char buffer[256];
  const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                                      buffer, sizeof buffer, nullptr);
  std::string text(buffer, length);
  while (!text.empty() && (text.back() == '\r' || text.back() == '\n' || text.back() == ' ' || text.back() == '.')) {
    text.pop_back();
  }
  return text.empty() ? "error " + std::to_string(code) : text;
}

bool IsMissing(DWORD code) { return code == ERROR_FILE_NOT_FOUND; }

}  // namespace

AppendFile::~AppendFile() { Close(); }

bool AppendFile::Open(const std::string& path, std::string& error) {
  Close();
  // FILE_APPEND_DATA alone makes every write land at the end, as O_APPEND
  // does; FILE_SHARE_DELETE lets another program rotate the file while open.
  const HANDLE file = CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    error = ErrorText(GetLastError());
    return false;
  }
  handle_ = reinterpret_cast<intptr_t>(file);
  return true;
}

int64_t AppendFile::Size(std::string& error) const {
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(Native(handle_), &size)) {
    error = ErrorText(GetLastError());
    return -1;
  }
  return static_cast<int64_t>(size.QuadPart);
}

int64_t AppendFile::Write(const uint8_t* bytes, size_t length, std::string& error) {
  DWORD written = 0;
  if (!WriteFile(Native(handle_), bytes, static_cast<DWORD>(std::min(length, kWriteMaxBytes)), &written, nullptr)) {
    error = ErrorText(GetLastError());
    return -1;
  }
  return static_cast<int64_t>(written);
}

void AppendFile::Close() {
  if (handle_ == kNoFile) return;
  CloseHandle(Native(handle_));
  handle_ = kNoFile;
}

RenameOutcome RenameFile(const std::string& from, const std::string& to, std::string& error) {
  if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING)) return RenameOutcome::kRenamed;
  const DWORD code = GetLastError();
  if (IsMissing(code)) return RenameOutcome::kNoSource;
  error = ErrorText(code);
  return RenameOutcome::kFailed;
}

bool RemoveFile(const std::string& path, std::string& error) {
  if (DeleteFileA(path.c_str())) return true;
  const DWORD code = GetLastError();
  if (IsMissing(code)) return true;
  error = ErrorText(code);
  return false;
}

}  // namespace veltor
