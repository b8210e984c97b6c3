#include "console/MetricsText.h"

#include <cstdint>
#include <string_view>

namespace veltor {

namespace {

class Exposition {
 public:
  void Family(std::string_view name, std::string_view type, std::string_view help) {
    text_.append("# HELP ").append(name).append(" ").append(help).append("\n");
    text_.append("# TYPE ").append(name).append(" ").append(type).append("\n");
  }
  template <class Number>
  void Sample(std::string_view name, Number value, std::string_view labels = {}) {
    text_.append(name).append(labels).append(" ").append(std::to_string(value)).append("\n");
  }
  std::string Text() && { return std::move(text_); }

 private:
  std::string text_;
};

}  // namespace

std::string MetricsText(const RelayFacts& relay, const RelayCounters& counters) {
  Exposition out;
  out.Family("veltor_clients", "gauge", "Client records in the table, ended and held ones included.");
  out.Sample("veltor_clients", relay.clientCount);
  out.Family("veltor_clients_max", "gauge", "The client maximum of the configuration.");
  out.Sample("veltor_clients_max", relay.maxClients);
  out.Family("veltor_server_connected", "gauge", "1 while the server socket is connected, else 0.");
  out.Sample("veltor_server_connected", relay.serverConnected ? 1 : 0);
  out.Family("veltor_listening", "gauge", "1 while the listen socket is open, else 0.");
  out.Sample("veltor_listening", relay.listening ? 1 : 0);
  out.Family("veltor_delivered_bytes_total", "counter", "Bytes of the server's stream delivered to clients.");
  out.Sample("veltor_delivered_bytes_total", counters.bytesDelivered);
  out.Family("veltor_queued_bytes", "gauge", "Bytes queued for clients and not yet delivered.");
  out.Sample("veltor_queued_bytes", counters.bytesQueued);
  out.Family("veltor_admissions_total", "counter", "Connections judged, by verdict.");
  const AdmissionCounts& admissions = counters.admissions;
  out.Sample("veltor_admissions_total", admissions.accepted, "{verdict=\"accepted\"}");
  out.Sample("veltor_admissions_total", admissions.maxConns, "{verdict=\"max_conns\"}");
  out.Sample("veltor_admissions_total", admissions.rule, "{verdict=\"rule\"}");
  out.Sample("veltor_admissions_total", admissions.noRule, "{verdict=\"no_rule\"}");
  out.Sample("veltor_admissions_total", admissions.dupe, "{verdict=\"dupe\"}");
  out.Sample("veltor_admissions_total", admissions.dupeTimingOut, "{verdict=\"dupe_timing_out\"}");
  out.Family("veltor_log_lines_dropped_total", "counter", "Log lines dropped because the log's reader fell behind.");
  out.Sample("veltor_log_lines_dropped_total", counters.logLinesDropped);
  out.Family("veltor_backlog_memory_bytes", "gauge", "Memory held by the clients' backlogs.");
  out.Sample("veltor_backlog_memory_bytes", counters.backlogMemoryBytes);
  out.Family("veltor_uptime_seconds", "gauge", "Seconds since the relay started.");
  out.Sample("veltor_uptime_seconds", relay.secondsSinceStart);
  return std::move(out).Text();
}

}  // namespace veltor
