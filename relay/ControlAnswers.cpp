#include "relay/ControlAnswers.h"

#include "console/ControlRequest.h"
#include "console/MetricsText.h"
#include "console/StatusJson.h"
#include "relay/Relay.h"

namespace veltor {

std::string AnswerControlRequest(Relay& relay, const std::string& request) {
  const ControlRequest parsed = ParseControlRequest(request);
  switch (parsed.kind) {
    case ControlRequest::Kind::Status:
      return StatusLines(relay.Facts(), relay.ClientsFacts());
    case ControlRequest::Kind::Metrics:
      return MetricsText(relay.Facts(), relay.Counters());
    case ControlRequest::Kind::Cut:
      return relay.CutClient(parsed.clientNumber) ? ControlOkAnswer() : NoClientAnswer(parsed.clientNumber);
    case ControlRequest::Kind::Unknown:
      break;
  }
  return UnknownRequestAnswer(request);
}

}  // namespace veltor
