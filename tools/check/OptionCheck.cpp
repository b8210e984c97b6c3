#include "tools/check/OptionCheck.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/Ipv4.h"
#include "relay/CommandLine.h"

namespace veltor::check {

namespace {

std::string DirectoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// What keeps the relay from making a new file in `directory`, or "".
std::string DirectoryProblem(const std::string& directory) {
  struct stat status {};
  if (::stat(directory.c_str(), &status) != 0) return "directory " + directory + " does not exist";
  if (!S_ISDIR(status.st_mode)) return directory + " is not a directory";
  if (::access(directory.c_str(), W_OK | X_OK) != 0) return "directory " + directory + " is not writable by this user";
  return {};
}

void CheckStreamLog(const RelayOptions& options, std::vector<OptionFinding>& findings) {
  const std::string& path = options.streamLogPath;
  const std::string directory = DirectoryOf(path);
  const std::string directoryProblem = DirectoryProblem(directory);
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) {
    if (!directoryProblem.empty()) findings.push_back({"--stream-log", directoryProblem + ": the relay cannot create " + path});
    return;
  }
  if (S_ISDIR(status.st_mode)) {
    findings.push_back({"--stream-log", path + " is a directory"});
  } else if (::access(path.c_str(), W_OK) != 0) {
    findings.push_back({"--stream-log", path + " is not writable by this user"});
  } else if (options.streamLogRotateBytes > 0 && !directoryProblem.empty()) {
    findings.push_back({"--stream-log-size", directoryProblem + ": the relay cannot rotate " + path});
  }
}

// The kernel's own answer: an address this machine does not have cannot be bound.
void CheckListen(uint32_t address, std::vector<OptionFinding>& findings) {
  const int probe = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (probe < 0) return;
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(address);
  const bool bound = ::bind(probe, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0;
  const int error = errno;
  ::close(probe);
  if (!bound) {
    findings.push_back({"--listen", DottedAddress(address) + " is not an address of this machine (" +
                                        std::strerror(error) + "): the relay cannot listen on it"});
  }
}

}  // namespace

std::vector<OptionFinding> CheckOptions(const RelayOptions& options) {
  std::vector<OptionFinding> findings;
  if (!options.streamLogPath.empty()) CheckStreamLog(options, findings);
  if (!options.streamLogPath.empty() && options.streamLogRotateBytes == 0 && options.streamLogKeep != kStreamLogKeepDefault) {
    findings.push_back({"--stream-log-keep", "has no effect without --stream-log-size"});
  }
  if (options.listenAddress) CheckListen(*options.listenAddress, findings);
  if (!options.controlPath.empty()) {
    const std::string problem = DirectoryProblem(DirectoryOf(options.controlPath));
    if (!problem.empty()) {
      findings.push_back({"--control", problem + ": the relay cannot create its socket " + options.controlPath});
    }
  }
  if (options.maxTotalBacklogBytes < options.maxBacklogBytes) {
    findings.push_back({"--max-total-backlog", SizeText(options.maxTotalBacklogBytes) + " is less than --max-backlog (" +
                                                   SizeText(options.maxBacklogBytes) + "): the total binds first"});
  }
  return findings;
}

}  // namespace veltor::check
