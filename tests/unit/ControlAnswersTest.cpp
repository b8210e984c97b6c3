// Known answers for what the control socket and the service manager are
// told: status lines, metrics, requests and their short answers, byte for byte.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "console/ControlRequest.h"
#include "console/FlatJson.h"
#include "console/MetricsText.h"
#include "console/ServiceStatusText.h"
#include "console/StatusJson.h"
#include "console/StatusTableText.h"
#include "tests/support/Loopback.h"

namespace veltor {
namespace {

using testing::Ip;

RelayFacts Relay() {
  RelayFacts relay;
  relay.serverHost = "console-7.example";
  relay.serverPort = 7023;
  relay.serverConnected = true;
  relay.listenPort = 7024;
  relay.listening = true;
  relay.clientCount = 2;
  relay.maxClients = 10;
  relay.secondsSinceStart = 3725;
  return relay;
}

std::vector<ClientFacts> Clients() {
  return {{1, Ip(127, 0, 0, 1), "localhost", 1234, 65, 17, true, true, 0},
          {2, Ip(10, 1, 2, 3), "", 5'000'000'000u, 3725, 0, false, false, -1}};
}

TEST(StatusJson, TheRelayThenOneLinePerRecord) {
  EXPECT_EQ(StatusLines(Relay(), Clients()),
            "{\"server\":\"console-7.example\",\"serverPort\":7023,\"serverConnected\":true,"
            "\"listenAddress\":\"0.0.0.0\",\"listenPort\":7024,\"listening\":true,\"clients\":2,\"maxClients\":10,"
            "\"uptime\":3725}\n"
            "{\"n\":1,\"address\":\"127.0.0.1\",\"name\":\"localhost\",\"bytes\":1234,\"seconds\":65,\"queued\":17,"
            "\"active\":true,\"passRx\":true,\"timeLimit\":0}\n"
            "{\"n\":2,\"address\":\"10.1.2.3\",\"name\":\"\",\"bytes\":5000000000,\"seconds\":3725,\"queued\":0,"
            "\"active\":false,\"passRx\":false,\"timeLimit\":-1}\n");
}

TEST(StatusJson, StringsEscapedValidUtf8KeptOtherBytesAsLatin1) {
  std::string out;
  AppendJsonString(out, std::string("q\"b\\n\n\t\x01\x7f caf\xc3\xa9 \xe2\x82\xac \xff\xc3", 22));
  EXPECT_EQ(out, "\"q\\\"b\\\\n\\n\\t\\u0001\\u007f caf\xc3\xa9 \xe2\x82\xac \\u00ff\\u00c3\"");
}

TEST(StatusJson, ReadsBackWhatItWrites) {
  const std::vector<ClientFacts> clients = Clients();
  ClientFacts named = clients[0];
  named.name = "q\"\\ \xc3\xa9\x01";
  JsonObject object;
  ASSERT_TRUE(ParseJsonObject(ClientStatusLine(named), object));
  ClientFacts read;
  ASSERT_TRUE(ReadClientStatus(object, read));
  EXPECT_EQ(ClientStatusLine(read), ClientStatusLine(named));
  ASSERT_TRUE(ParseJsonObject(ClientStatusLine(clients[1]), object));
  ASSERT_TRUE(ReadClientStatus(object, read));
  EXPECT_EQ(read.bytes, 5'000'000'000u);
  EXPECT_EQ(read.timeLimit, -1);

  RelayFacts relay;
  ASSERT_TRUE(ParseJsonObject(RelayStatusLine(Relay()), object));
  ASSERT_TRUE(ReadRelayStatus(object, relay));
  EXPECT_EQ(RelayStatusLine(relay), RelayStatusLine(Relay()));

  ASSERT_TRUE(ParseJsonObject(" { \"s\" : \"\\u00e9\\ud83d\\ude00\\/\" , \"n\" : -12 } ", object));
  std::string text;
  EXPECT_TRUE(JsonText(object, "s", text));
  EXPECT_EQ(text, "\xc3\xa9\xf0\x9f\x98\x80/");
  for (const char* broken : {"", "{", "{\"n\":1", "{\"n\":1}x", "{\"n\":01}", "{\"n\":\"a\nb\"}", "{\"s\":\"\\ud83d\"}",
                             "{\"n\":[1]}", "{\"n\":1,}"}) {
    EXPECT_FALSE(ParseJsonObject(broken, object)) << broken;
  }
  ASSERT_TRUE(ParseJsonObject("{\"n\":\"7\",\"address\":\"1.2.3\"}", object));
  EXPECT_FALSE(ReadClientStatus(object, read));
}

TEST(MetricsText, PrometheusTextWithHelpAndType) {
  RelayFacts relay = Relay();
  relay.serverConnected = false;
  RelayCounters counters{123456, 17, {5, 1, 2, 3, 4, 6}, 7, 8192};
  EXPECT_EQ(MetricsText(relay, counters),
            "# HELP veltor_clients Client records in the table, ended and held ones included.\n"
            "# TYPE veltor_clients gauge\n"
            "veltor_clients 2\n"
            "# HELP veltor_clients_max The client maximum of the configuration.\n"
            "# TYPE veltor_clients_max gauge\n"
            "veltor_clients_max 10\n"
            "# HELP veltor_server_connected 1 while the server socket is connected, else 0.\n"
            "# TYPE veltor_server_connected gauge\n"
            "veltor_server_connected 0\n"
            "# HELP veltor_listening 1 while the listen socket is open, else 0.\n"
            "# TYPE veltor_listening gauge\n"
            "veltor_listening 1\n"
            "# HELP veltor_delivered_bytes_total Bytes of the server's stream delivered to clients.\n"
            "# TYPE veltor_delivered_bytes_total counter\n"
            "veltor_delivered_bytes_total 123456\n"
            "# HELP veltor_queued_bytes Bytes queued for clients and not yet delivered.\n"
            "# TYPE veltor_queued_bytes gauge\n"
            "veltor_queued_bytes 17\n"
            "# HELP veltor_admissions_total Connections judged, by verdict.\n"
            "# TYPE veltor_admissions_total counter\n"
            "veltor_admissions_total{verdict=\"accepted\"} 5\n"
            "veltor_admissions_total{verdict=\"max_conns\"} 1\n"
            "veltor_admissions_total{verdict=\"rule\"} 2\n"
            "veltor_admissions_total{verdict=\"no_rule\"} 3\n"
            "veltor_admissions_total{verdict=\"dupe\"} 4\n"
            "veltor_admissions_total{verdict=\"dupe_timing_out\"} 6\n"
            "# HELP veltor_log_lines_dropped_total Log lines dropped because the log's reader fell behind.\n"
            "# TYPE veltor_log_lines_dropped_total counter\n"
            "veltor_log_lines_dropped_total 7\n"
            "# HELP veltor_backlog_memory_bytes Memory held by the clients' backlogs.\n"
            "# TYPE veltor_backlog_memory_bytes gauge\n"
            "veltor_backlog_memory_bytes 8192\n"
            "# HELP veltor_uptime_seconds Seconds since the relay started.\n"
            "# TYPE veltor_uptime_seconds gauge\n"
            "veltor_uptime_seconds 3725\n");
}

TEST(ControlRequest, ParsedRequestsAndTheirShortAnswers) {
  using Kind = ControlRequest::Kind;
  EXPECT_EQ(ParseControlRequest("status").kind, Kind::Status);
  EXPECT_EQ(ParseControlRequest(" metrics\t").kind, Kind::Metrics);
  const ControlRequest cut = ParseControlRequest("cut  12");
  EXPECT_EQ(cut.kind, Kind::Cut);
  EXPECT_EQ(cut.clientNumber, 12);
  for (const char* unknown : {"", "Status", "status now", "cut", "cut x", "cut -1", "cut 1 2", "cut 1234567890"}) {
    EXPECT_EQ(ParseControlRequest(unknown).kind, Kind::Unknown) << unknown;
  }
  EXPECT_EQ(ControlOkAnswer(), "ok\n");
  EXPECT_EQ(NoClientAnswer(7), "error: no client 7\n");
  EXPECT_EQ(UnknownRequestAnswer("foo\x1b[2J\\"), "error: unknown request 'foo\\x1B[2J\\x5C' (status, metrics or cut N)\n");
  EXPECT_EQ(RequestTooLongAnswer(256), "error: request longer than 256 bytes\n");
}

TEST(ServiceStatusText, EndpointsAndClients) {
  RelayFacts relay = Relay();
  relay.clientCount = 3;
  EXPECT_EQ(ServiceStatusText(relay), "server connected, listening on port 7024, 3 clients");
  relay = RelayFacts{};
  EXPECT_EQ(ServiceStatusText(relay), "server not connected, not listening, 0 clients");
  relay.clientCount = 1;
  EXPECT_EQ(ServiceStatusText(relay), "server not connected, not listening, 1 client");
}

TEST(StatusTableText, TheSKeysTableFromFacts) {
  EXPECT_EQ(StatusTableText("2026-12-07 10:00:00", 0, {}), "2026-12-07 10:00:00: 0 clients:\n");
  EXPECT_EQ(StatusTableText("2026-12-07 10:00:00", 2, Clients()),
            "2026-12-07 10:00:00: 2 clients:\n"
            " ##    Address                   Bytes      Duration      Queued\n"
            "  1.    127.  0.  0.  1           1234       0:01:05          17\n"
            "  2.     10.  1.  2.  3      5000000000       1:02:05           0   (inactive)\n");
}

}  // namespace
}  // namespace veltor
