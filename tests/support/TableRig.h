// A client table with a fake wall clock and real loopback clients, for the
// in-process tests of the table, its passes and the status table.
// Header-only, like SocketPair.h: it needs the product's types.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "clients/ClientConnection.h"
#include "clients/ClientTable.h"
#include "net/ServerLink.h"
#include "tests/support/Deadline.h"
#include "tests/support/FakeClock.h"
#include "tests/support/SocketPair.h"

namespace veltor::testing {

// A table with a fake wall clock installed. The test's ends of all
// connections outlive the table, so no client sees its peer vanish before the
// table lets go of it.
class TableRig : public ::testing::Test {
 protected:
  struct Client {
    ClientConnection* record = nullptr;
    int peer = -1;     // the test's end
    int relayFd = -1;  // the record's end, to see what its worker has read
  };

  ~TableRig() override { table.TearDown(); }

  // A started client at `address`, appended to the table.
  Client AddClient(uint32_t address, bool passRx, int32_t timeLimit, BufferSizes sizes = {}) {
    LoopbackPair pair = MakePair(sizes);
    if (!pair.relay) {
      ADD_FAILURE() << "no loopback connection";
      return {};
    }
    Client client;
    client.relayFd = pair.relay->Handle();
    auto record = std::make_unique<ClientConnection>(address, passRx, timeLimit, std::move(pair.relay), Frames{});
    if (!record->Start()) {
      ADD_FAILURE() << "worker did not start";
      return {};
    }
    client.record = record.get();
    client.peer = pair.peer.get();
    peers_.push_back(std::move(pair.peer));
    table.Add(std::move(record));
    return client;
  }

  // Puts a loopback stand-in for the server into the server slot; returns the
  // server's end.
  int AttachServer() {
    LoopbackPair pair = MakePair();
    if (!pair.relay) {
      ADD_FAILURE() << "no loopback connection";
      return -1;
    }
    link.serverSocket = std::make_unique<ServerStream>(std::move(pair.relay));
    if (!link.serverSocket->Start()) ADD_FAILURE() << "no server reader";
    const int fd = pair.peer.get();
    peers_.push_back(std::move(pair.peer));
    return fd;
  }

  void ClosePeer(int fd) {
    for (OwnedFd& peer : peers_) {
      if (peer.get() == fd) peer.Close();
    }
  }

  // Waits for a record's worker to have ended (after any "Disc" line it prints).
  static bool WorkerEnded(const ClientConnection& record) {
    return WaitUntil([&] { return !record.holdsSocket.load(); });
  }

  FakeClock clock;
  ScopedClock scoped{clock};
  const int64_t t0 = clock.WallSeconds();
  std::vector<OwnedFd> peers_;
  ServerLink link;
  ClientTable table;
};

}  // namespace veltor::testing
