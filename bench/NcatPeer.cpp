#include "bench/NcatPeer.h"

namespace veltor::bench {

Launch NcatLaunch(const Options& options, const std::string& stem, int clients, uint16_t listenPort) {
  Launch launch;
  launch.binary = options.ncat;
  // -v makes ncat name every connection it accepts, which is how the benchmark
  // knows a member is in before data flows; it prints nothing per message.
  // Its default limit of 100 connections would turn the 100th client away.
  launch.args = {"--broker", "--listen", "-v", "--nodns", "--max-conns", std::to_string(clients + 10),
                 "127.0.0.1", std::to_string(listenPort)};
  launch.eventsOnStderr = true;
  // It also prints "Connection from 127.0.0.1." without the port for each one.
  launch.admittedMarker = "Connection from 127.0.0.1:";
  launch.eventsLog = stem + ".err";
  launch.otherLog = stem + ".out";
  return launch;
}

}  // namespace veltor::bench
