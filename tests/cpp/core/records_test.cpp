#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "core/action.hpp"
#include "core/invalidation_scope.hpp"
#include "core/ostrel_error.hpp"
#include "core/permit_token.hpp"
#include "core/verdict.hpp"

namespace ostrel::core {
namespace {

common::Uuid uuid(std::string_view text) { return common::Uuid::parse(text).value(); }

std::int64_t read_i64_le(const std::vector<std::uint8_t>& b, std::size_t at) {
  std::uint64_t u = 0;
  for (int i = 7; i >= 0; --i) u = (u << 8) | b[at + static_cast<std::size_t>(i)];
  return static_cast<std::int64_t>(u);
}

TEST(PrincipalKind, TextsRoundTripAndMatchExactly) {
  const std::pair<PrincipalKind, std::string_view> table[] = {
      {PrincipalKind::User, "user"},           {PrincipalKind::Agent, "agent"},
      {PrincipalKind::Service, "service"},     {PrincipalKind::Scheduler, "scheduler"},
      {PrincipalKind::External, "external"},
  };
  for (const auto& [kind, text] : table) {
    EXPECT_EQ(principal_kind_text(kind), text);
    EXPECT_EQ(parse_principal_kind(text), kind);
  }
  for (std::string_view bad : {"User", "AGENT", " user", "user ", "", "admin"}) {
    EXPECT_FALSE(parse_principal_kind(bad).has_value()) << bad;
  }
}

TEST(ActionDescriptor, ParamLookupsDistinguishNumbersFromStrings) {
  ActionDescriptor a;
  a.params.emplace("f", common::json::Value(2.5));
  a.params.emplace("u", common::json::Value(std::uint64_t{7}));
  a.params.emplace("i", common::json::Value(std::int64_t{-3}));
  a.params.emplace("s", common::json::Value("5"));
  a.params.emplace("nan", common::json::Value::number(std::nan("")));
  a.params.emplace("b", common::json::Value(true));

  EXPECT_EQ(a.param_as_f64("f"), 2.5);
  EXPECT_EQ(a.param_as_f64("u"), 7.0);
  EXPECT_EQ(a.param_as_f64("i"), -3.0);
  EXPECT_FALSE(a.param_as_f64("s").has_value());    // a numeric string is not a number
  EXPECT_FALSE(a.param_as_f64("nan").has_value());  // NaN was stored as null
  EXPECT_FALSE(a.param_as_f64("b").has_value());
  EXPECT_FALSE(a.param_as_f64("missing").has_value());

  ASSERT_NE(a.param_as_str("s"), nullptr);
  EXPECT_EQ(*a.param_as_str("s"), "5");
  EXPECT_EQ(a.param_as_str("f"), nullptr);
  EXPECT_EQ(a.param_as_str("missing"), nullptr);
}

TEST(GeoLocation, HaversineDistance) {
  GeoLocation origin{"XX", {}, {}, 0.0, 0.0};
  GeoLocation east{"XX", {}, {}, 0.0, 1.0};
  auto d = origin.distance_km(east);
  ASSERT_TRUE(d.has_value());
  EXPECT_NEAR(*d, 111.19, 0.005);
  EXPECT_EQ(origin.distance_km(origin), 0.0);
  EXPECT_DOUBLE_EQ(*east.distance_km(origin), *d);

  // Denver to New York, by the stated formula (radius 6371 km).
  GeoLocation denver{"US", "CO", "Denver", 39.7392, -104.9903};
  GeoLocation new_york{"US", "NY", "New York", 40.7128, -74.0060};
  EXPECT_NEAR(*denver.distance_km(new_york), 2618.5, 1.0);

  // Antipodes: c = pi.
  GeoLocation north{"XX", {}, {}, 90.0, 0.0};
  GeoLocation south{"XX", {}, {}, -90.0, 0.0};
  EXPECT_NEAR(*north.distance_km(south), 6371.0 * M_PI, 1e-6);

  for (auto missing : {GeoLocation{"US", {}, {}, {}, 1.0}, GeoLocation{"US", {}, {}, 1.0, {}},
                       GeoLocation{"US", {}, {}, {}, {}}}) {
    EXPECT_FALSE(missing.distance_km(origin).has_value());
    EXPECT_FALSE(origin.distance_km(missing).has_value());
  }
}

TEST(SessionState, NewSessionIsFreshAndEmpty) {
  const auto before = common::Instant::now();
  auto a = SessionState::new_session();
  auto b = SessionState::new_session();
  const auto after = common::Instant::now();
  EXPECT_NE(a.session_id, b.session_id);
  EXPECT_EQ(a.session_id.bytes[6] >> 4, 4);  // version 4
  EXPECT_LE(before, a.started_at);
  EXPECT_LE(a.started_at, after);
  EXPECT_EQ(a.action_count, 0u);
  EXPECT_TRUE(a.action_history.empty());
  EXPECT_FALSE(a.invalidated);
  EXPECT_FALSE(a.origin_ip || a.origin_device || a.origin_geo);
}

TEST(ActionContext, CreateAssignsIdAndTimeOnly) {
  Principal p{"alice", PrincipalKind::Agent, {"ops", "ops"}};
  ActionDescriptor act{"transfer", "acct:1", {}};
  auto session = SessionState::new_session();
  session.action_count = 4;
  auto c1 = ActionContext::create(p, act, session, {});
  auto c2 = ActionContext::create(p, act, session, {});
  EXPECT_NE(c1.evaluation_id, c2.evaluation_id);
  EXPECT_EQ(c1.principal.roles, (std::vector<std::string>{"ops", "ops"}));
  EXPECT_EQ(c1.session, session);
  EXPECT_LE(session.started_at, c1.timestamp);
}

TEST(PermitToken, CanonicalBytesLayout) {
  PermitToken t;
  t.token_id = uuid("67e55044-10b1-426f-9247-bb680e5fe0c8");
  t.evaluation_id = uuid("00112233-4455-6677-8899-aabbccddeeff");
  t.issued_at = {0x0102030405060708, 999'999'999};  // the fraction never enters
  t.expires_at = {-1, 0};
  t.action_name = "wire_€";  // UTF-8, 8 bytes
  t.signature = std::vector<std::uint8_t>{1, 2, 3};  // not part of the bytes

  auto b = t.canonical_bytes();
  ASSERT_EQ(b.size(), 48u + 8u);
  EXPECT_EQ(std::vector<std::uint8_t>(b.begin(), b.begin() + 16),
            std::vector<std::uint8_t>(t.token_id.bytes.begin(), t.token_id.bytes.end()));
  EXPECT_EQ(b[0], 0x67);
  EXPECT_EQ(b[15], 0xc8);
  EXPECT_EQ(b[16], 0x00);
  EXPECT_EQ(b[31], 0xff);
  const std::vector<std::uint8_t> issued{0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01};
  EXPECT_EQ(std::vector<std::uint8_t>(b.begin() + 32, b.begin() + 40), issued);
  EXPECT_EQ(std::vector<std::uint8_t>(b.begin() + 40, b.begin() + 48), std::vector<std::uint8_t>(8, 0xFF));
  EXPECT_EQ(std::string(b.begin() + 48, b.end()), "wire_€");

  t.action_name.clear();
  EXPECT_EQ(t.canonical_bytes().size(), 48u);
}

TEST(PermitToken, MintedTokenLivesThirtySecondsAndSignsWholeSeconds) {
  auto eval = common::Uuid::new_v4();
  auto a = PermitToken::mint(eval, "read");
  auto b = PermitToken::mint(eval, "read");
  EXPECT_NE(a.token_id, b.token_id);
  EXPECT_EQ(a.evaluation_id, eval);
  EXPECT_EQ(a.expires_at.seconds - a.issued_at.seconds, 30);
  EXPECT_EQ(a.expires_at.nanos, a.issued_at.nanos);
  EXPECT_FALSE(a.signature.has_value());

  // Rebuilt from whole seconds, as a verifier does from the wire fields.
  PermitToken rebuilt = a;
  rebuilt.issued_at.nanos = 0;
  rebuilt.expires_at.nanos = 0;
  EXPECT_EQ(rebuilt.canonical_bytes(), a.canonical_bytes());

  auto b_bytes = a.canonical_bytes();
  EXPECT_EQ(read_i64_le(b_bytes, 32), a.issued_at.seconds);
  EXPECT_EQ(read_i64_le(b_bytes, 40), a.issued_at.seconds + 30);
}

TEST(Verdict, RefuseCodeTextsAndReasonDisplay) {
  const char* names[] = {"IDENTITY_FAILED",     "POLICY_DENIED",   "NO_POLICY_MATCH",
                         "RATE_LIMIT_EXCEEDED", "SESSION_INVALID", "INVARIANT_VIOLATION",
                         "DRIFT_DETECTED",      "PERMIT_EXPIRED"};
  for (std::uint8_t i = 0; i < 8; ++i) EXPECT_EQ(refuse_code_text(static_cast<RefuseCode>(i)), names[i]);

  RefuseReason r{"policy", "denied by rule x", common::Uuid::new_v4(), static_cast<RefuseCode>(1)};
  EXPECT_EQ(r.display(), "[POLICY_DENIED] policy: denied by rule x");
  RefuseReason s{"gate", "session has been invalidated", {}, RefuseCode::SESSION_INVALID};
  EXPECT_EQ(s.display(), "[SESSION_INVALID] gate: session has been invalidated");
}

TEST(InvalidationScope, DisplayAndTargetDebugForms) {
  InvalidationScope s{SessionTarget{uuid("67E55044-10B1-426F-9247-BB680E5FE0C8")}, "device changed", "drift"};
  EXPECT_EQ(s.display(), "invalidate Session(67e55044-10b1-426f-9247-bb680e5fe0c8) by drift: device changed");

  const std::pair<InvalidationTarget, std::string> table[] = {
      {PrincipalTarget{"alice"}, R"(Principal("alice"))"},
      {RoleTarget{"admin"}, R"(Role("admin"))"},
      {RoleTarget{""}, R"(Role(""))"},
      {PrincipalTarget{"a\"b\\c"}, R"(Principal("a\"b\\c"))"},
      {PrincipalTarget{"x\ny\rz\t"}, R"(Principal("x\ny\rz\t"))"},
      {PrincipalTarget{std::string("nul\0", 4)}, R"(Principal("nul\0"))"},
      {PrincipalTarget{"esc\x1b\x7f"}, R"(Principal("esc\u{1b}\u{7f}"))"},
      {PrincipalTarget{"c1\xc2\x85"}, R"(Principal("c1\u{85}"))"},
      {RoleTarget{"r\xc3\xa9le €"}, "Role(\"r\xc3\xa9le €\")"},  // printable non-ASCII kept
  };
  for (const auto& [target, expected] : table) EXPECT_EQ(target_debug(target), expected);

  InvalidationScope p{PrincipalTarget{"bob"}, "too fast", "drift"};
  EXPECT_EQ(p.display(), R"(invalidate Principal("bob") by drift: too fast)");
}

TEST(OstrelError, DisplayTexts) {
  using PK = PolicyError::Kind;
  using IK = IdentityError::Kind;
  const std::pair<OstrelError, std::string> table[] = {
      {OstrelError::policy({PK::Parse, "bad toml", {}}), "policy error: policy parse error: bad toml"},
      {OstrelError::policy({PK::UnknownCondition, "moon_phase", {}}),
       "policy error: unknown condition type: moon_phase"},
      {OstrelError::policy({PK::Conflict, "a", "b"}), "policy error: conflicting policies: a and b"},
      {OstrelError::identity({IK::CredentialsMissing, {}, {}}), "identity error: credentials missing"},
      {OstrelError::identity({IK::CredentialsExpired, "2024-01-01T00:00:00Z", {}}),
       "identity error: credentials expired at 2024-01-01T00:00:00Z"},
      {OstrelError::identity({IK::PrincipalNotRecognized, "eve", {}}),
       "identity error: principal not recognized: eve"},
      {OstrelError::identity({IK::ContextMismatch, "x", "y"}), "identity error: context mismatch: expected x, got y"},
      {OstrelError::identity({IK::DeviceFingerprintMismatch, {}, {}}),
       "identity error: device fingerprint mismatch"},
      {OstrelError::config("c"), "config error: c"},
      {OstrelError::execution("e"), "execution error: e"},
      {OstrelError::audit("a"), "audit error: a"},
      {OstrelError::invariant_violation("cap", "amount 200 > 100"), "invariant violation: cap, amount 200 > 100"},
      {OstrelError::io("No such file or directory"), "io error: No such file or directory"},
      {OstrelError::serialization("bad key"), "serialization error: bad key"},
  };
  for (const auto& [error, text] : table) EXPECT_EQ(error.display(), text);
}

}  // namespace
}  // namespace ostrel::core
