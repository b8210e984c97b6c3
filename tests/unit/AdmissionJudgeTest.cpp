// Admission's judgement of one connection: the client maximum first, then the
// access rules in order (the first match decides), then the duplicate-address
// policy, each with the exact text that completes the "Conn" line.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "clients/Admission.h"
#include "clients/ClientConnection.h"
#include "tests/support/Loopback.h"

namespace veltor {
namespace {

using testing::Ip;

MaskRule Admit(uint32_t address, uint32_t mask, bool passRx = false, int32_t timeLimit = 0, bool dupeOK = false) {
  return MaskRule{
      .address = address, .mask = mask, .timeLimit = timeLimit, .passRx = passRx, .allow = true, .dupeOK = dupeOK};
}

MaskRule Deny(uint32_t address, uint32_t mask) { return MaskRule{.address = address, .mask = mask}; }

RelaySettings WithRules(std::vector<MaskRule> rules, int32_t maxClients = 10) {
  RelaySettings settings;
  settings.maxClients = maxClients;
  settings.rules = std::move(rules);
  return settings;
}

// A record standing for an earlier connection from `address`; judging only
// reads it, so its worker never needs to run.
std::unique_ptr<ClientConnection> Existing(uint32_t address) {
  return std::make_unique<ClientConnection>(address, false, 0, nullptr, std::vector<ClientConnection::Frame>{});
}

const uint32_t kAll = 0;
const uint32_t kHost = 0xFFFFFFFFu;
const uint32_t kClassA = Ip(255, 0, 0, 0);

TEST(AdmissionJudge, ClientMaximumComesBeforeAnyRule) {
  const RelaySettings settings = WithRules({Admit(kAll, kAll)}, 2);
  // The count includes records that have ended but are still in the table.
  for (int count : {2, 3}) {
    const Verdict verdict = Judge(settings, Ip(10, 1, 2, 3), count, nullptr);
    EXPECT_FALSE(verdict.admitted) << count;
    EXPECT_EQ(verdict.text, "denied: max conns\n") << count;
    EXPECT_EQ(verdict.rule, nullptr);
  }
  EXPECT_TRUE(Judge(settings, Ip(10, 1, 2, 3), 1, nullptr).admitted);

  // Before the dupe policy as well.
  const auto existing = Existing(Ip(10, 1, 2, 3));
  EXPECT_EQ(Judge(settings, Ip(10, 1, 2, 3), 2, existing.get()).text, "denied: max conns\n");
}

TEST(AdmissionJudge, ZeroOrNegativeMaximumDeniesEveryone) {
  for (int32_t maximum : {0, -1, -2147483647 - 1}) {
    const Verdict verdict = Judge(WithRules({Admit(kAll, kAll)}, maximum), Ip(127, 0, 0, 1), 0, nullptr);
    EXPECT_FALSE(verdict.admitted) << maximum;
    EXPECT_EQ(verdict.text, "denied: max conns\n") << maximum;
  }
}

TEST(AdmissionJudge, FirstMatchingRuleDecides) {
  const RelaySettings settings = WithRules({Admit(Ip(10, 0, 0, 0), kClassA, true), Deny(kAll, kAll)});
  const Verdict inside = Judge(settings, Ip(10, 1, 2, 3), 0, nullptr);
  EXPECT_TRUE(inside.admitted);
  EXPECT_EQ(inside.rule, &settings.rules[0]);
  EXPECT_EQ(inside.text, "accepted:   PassRx  0\n");

  const Verdict outside = Judge(settings, Ip(192, 168, 1, 1), 0, nullptr);
  EXPECT_FALSE(outside.admitted);
  EXPECT_EQ(outside.rule, nullptr);
  EXPECT_EQ(outside.text, "denied: rule\n");

  const RelaySettings firstOnly = WithRules({Admit(Ip(10, 0, 0, 0), kClassA, true)});
  EXPECT_EQ(Judge(firstOnly, Ip(192, 168, 1, 1), 0, nullptr).text, "denied: no rule\n");
  EXPECT_EQ(Judge(WithRules({}), Ip(10, 1, 2, 3), 0, nullptr).text, "denied: no rule\n");
}

TEST(AdmissionJudge, ADenyingRuleEndsTheWalkEvenWhenALaterRuleWouldAdmit) {
  const RelaySettings settings = WithRules({Deny(Ip(10, 1, 2, 3), kHost), Admit(Ip(10, 0, 0, 0), kClassA)});
  const Verdict denied = Judge(settings, Ip(10, 1, 2, 3), 0, nullptr);
  EXPECT_FALSE(denied.admitted);
  EXPECT_EQ(denied.text, "denied: rule\n");

  const Verdict neighbour = Judge(settings, Ip(10, 1, 2, 4), 0, nullptr);
  EXPECT_TRUE(neighbour.admitted);
  EXPECT_EQ(neighbour.rule, &settings.rules[1]);
}

TEST(AdmissionJudge, ARuleWithAddressBitsOutsideItsMaskNeverMatches) {
  const MaskRule odd = Admit(Ip(10, 0, 0, 1), kClassA, true);
  for (uint32_t address : {Ip(10, 0, 0, 1), Ip(10, 0, 0, 0), Ip(10, 200, 3, 4)}) {
    EXPECT_EQ(Judge(WithRules({odd}), address, 0, nullptr).text, "denied: no rule\n");
    // Passed over, so the next rule decides.
    const RelaySettings withFallback = WithRules({odd, Admit(kAll, kAll, false, 600)});
    const Verdict verdict = Judge(withFallback, address, 0, nullptr);
    EXPECT_EQ(verdict.rule, &withFallback.rules[1]);
    EXPECT_EQ(verdict.text, "accepted: NoPassRx  600\n");
  }
}

TEST(AdmissionJudge, DuplicateAddressUnderNoDupeAndDupeOK) {
  const auto existing = Existing(Ip(10, 1, 2, 3));
  const RelaySettings noDupe = WithRules({Admit(Ip(10, 0, 0, 0), kClassA)});
  const RelaySettings dupeOK = WithRules({Admit(Ip(10, 0, 0, 0), kClassA, true, 0, true)});

  EXPECT_TRUE(Judge(noDupe, Ip(10, 1, 2, 3), 1, nullptr).admitted);

  const Verdict dupe = Judge(noDupe, Ip(10, 1, 2, 3), 1, existing.get());
  EXPECT_FALSE(dupe.admitted);
  EXPECT_EQ(dupe.rule, nullptr);
  EXPECT_EQ(dupe.text, "denied: dupe\n");

  const Verdict again = Judge(dupeOK, Ip(10, 1, 2, 3), 1, existing.get());
  EXPECT_TRUE(again.admitted);
  EXPECT_EQ(again.text, "accepted:   PassRx  0\n");

  // Held after a time-limit cut-off.
  existing->timedOut = true;
  EXPECT_EQ(Judge(noDupe, Ip(10, 1, 2, 3), 1, existing.get()).text, "denied: dupe (timing out)\n");
  EXPECT_TRUE(Judge(dupeOK, Ip(10, 1, 2, 3), 1, existing.get()).admitted);

  // A denying rule speaks before the dupe policy.
  EXPECT_EQ(Judge(WithRules({Deny(kAll, kAll)}), Ip(10, 1, 2, 3), 1, existing.get()).text, "denied: rule\n");
}

TEST(AdmissionJudge, AcceptedTextCarriesPassThroughAndTheTimeLimit) {
  const RelaySettings settings = WithRules({Admit(Ip(10, 0, 0, 1), kHost, true, 0),
                                            Admit(Ip(10, 0, 0, 2), kHost, false, 600),
                                            Admit(Ip(10, 0, 0, 3), kHost, false, -1)});
  const Verdict passing = Judge(settings, Ip(10, 0, 0, 1), 0, nullptr);
  EXPECT_EQ(passing.text, "accepted:   PassRx  0\n");
  ASSERT_NE(passing.rule, nullptr);
  EXPECT_TRUE(passing.rule->passRx);

  const Verdict limited = Judge(settings, Ip(10, 0, 0, 2), 0, nullptr);
  EXPECT_EQ(limited.text, "accepted: NoPassRx  600\n");
  ASSERT_NE(limited.rule, nullptr);
  EXPECT_EQ(limited.rule->timeLimit, 600);

  EXPECT_EQ(Judge(settings, Ip(10, 0, 0, 3), 0, nullptr).text, "accepted: NoPassRx  -1\n");
}

}  // namespace
}  // namespace veltor
