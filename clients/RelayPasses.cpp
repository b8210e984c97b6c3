#include "clients/RelayPasses.h"

#include "base/Clock.h"
#include "base/Constants.h"
#include "base/EventText.h"
#include "base/Ipv4.h"
#include "base/Output.h"
#include "platform/LocalTime.h"
#include "net/Transfer.h"

namespace veltor {

void AddClientData(ClientTable& table, const uint8_t* bytes, size_t length) {
  const uint32_t started = TickNow();
  for (const auto& record : table.All()) {
    if (!record->active.load()) continue;
    if (table.Budget().WouldPassTotal(length)) table.EndLargestBacklog();
    record->QueueData(bytes, length);
  }
  const uint32_t took = TickNow() - started;
  if (took > kSlowBroadcastMs) {
    LogErr("%s: AddClientData() took too long!!! %d mS\n", TimestampNow().c_str(), static_cast<int>(took));
  }
}

std::unique_ptr<DataChunk> ServerPump(ServerLink& link, ClientTable& table) {
  if (!link.serverSocket) return nullptr;
  ServerStream& server = *link.serverSocket;
  server.WaitForData(kReceiveWaitMs);
  std::unique_ptr<DataChunk> chunk = server.TakeChunk(kChunkMaxBytes);
  if (chunk) AddClientData(table, chunk->bytes.data(), chunk->Length());
  // Closed only once its clients have had everything it sent.
  if (server.Finished()) CloseServerSocket(link);
  return chunk;
}

namespace {

void ReportTimeLimit(const ClientConnection& record, int64_t seconds) {
  LogOut("%s: %s", TimestampNow().c_str(), TimeLimitText(record.address, record.bytesSent.load(), seconds).c_str());
}

}  // namespace

void ClientPass(ServerLink& link, ClientTable& table) {
  const int64_t now = WallNow();
  ServerStream* server = link.serverSocket.get();
  if (server != nullptr) server->ContinueForward();
  for (const auto& record : table.All()) {
    if (!record->active.load()) {
      // A client that has ended by itself still has what it sent last forwarded.
      if (!record->HasLastWords()) continue;
    } else if (record->timeLimit != 0) {
      const int64_t connected = now - record->startTime.load();
      if (connected >= record->timeLimit) {
        if (record->CutOff(now)) ReportTimeLimit(*record, connected);
        continue;
      }
    }

    const bool forwards = record->passRx && server != nullptr && server->Writable();
    // While the server has a block pending, its data stays queued: the queue
    // fills, the worker stops reading, and TCP slows the client; nothing is lost.
    if (forwards && !server->CanForward()) continue;
    std::unique_ptr<DataChunk> chunk = record->TakeUpstream();
    if (chunk && forwards) server->Forward(std::move(chunk));
  }
}

}  // namespace veltor
