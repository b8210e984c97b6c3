// veltor-watch HOST PORT: a relay client for people. Greetings are shown as
// text lines, then the stream is copied raw; typed lines go to the relay.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "tools/watch/Watch.h"

namespace {

constexpr int kStatusUsage = 2;

// A port is all digits and within 1-65535; anything else is a typing mistake.
bool ParsePort(const char* text, uint16_t& port) {
  unsigned long value = 0;
  if (*text == '\0') return false;
  for (const char* c = text; *c != '\0'; ++c) {
    if (*c < '0' || *c > '9') return false;
    value = value * 10 + static_cast<unsigned long>(*c - '0');
    if (value > 65535) return false;
  }
  if (value == 0) return false;
  port = static_cast<uint16_t>(value);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    std::printf("Usage: veltor-watch HOST PORT\n"
                "Connects to a Veltor relay, shows its greetings as [greeting] lines, then copies the\n"
                "stream to standard output and standard input to the relay.\n");
    return 0;
  }
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("veltor-watch 1.0\n");
    return 0;
  }
  uint16_t port = 0;
  if (argc != 3 || !ParsePort(argv[2], port)) {
    std::fprintf(stderr, "Usage: veltor-watch HOST PORT   (PORT 1-65535)\n");
    return kStatusUsage;
  }
  // A relay that goes away costs a failed send, not the process.
  ::signal(SIGPIPE, SIG_IGN);
  return veltor::watch::RunWatch(argv[1], port, STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO);
}
