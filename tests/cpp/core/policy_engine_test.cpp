// Policy evaluation: rule order, every condition kind, rate limits over a store that can fail,
// time windows at the context's timestamp, the log events, and reload.
#include <atomic>
#include <cmath>
#include <coroutine>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/log.hpp"
#include "core/policy/policy_engine.hpp"
#include "core/policy_run_task.hpp"
#include "core/rate_limit_in_memory.hpp"

namespace ostrel::core {
namespace {

using common::json::Value;
using testing::run_now;
namespace log = common::log;

PolicySet toml(const std::string& text) {
  auto s = PolicySet::from_toml(text);
  EXPECT_TRUE(s.has_value()) << (s ? "" : s.error().text);
  return s ? std::move(*s) : PolicySet{};
}

// One permit rule named "rule" with the given conditions (TOML inline tables).
PolicySet permit_if(const std::string& conditions) {
  return toml("[[policy]]\nname = \"rule\"\neffect = \"permit\"\nconditions = [" + conditions + "]\n");
}

ActionContext context(std::string principal = "alice", std::string action = "read") {
  return ActionContext::create(Principal{std::move(principal), PrincipalKind::Agent, {"reader", "ops"}},
                               ActionDescriptor{std::move(action), std::nullopt, {}}, SessionState::new_session(),
                               EnvContext{});
}

bool permits(const PolicyEngine& e, const ActionContext& ctx) {
  return std::holds_alternative<Permit>(run_now(e.evaluate(ctx)));
}

const RefuseReason& refusal(const Verdict& v) {
  static const RefuseReason none{};
  if (const auto* r = std::get_if<Refuse>(&v)) return r->reason;
  ADD_FAILURE() << "not a refusal";
  return none;
}

std::vector<log::OwnedEvent> policy_events(log::ScopedCapture& cap) {
  std::vector<log::OwnedEvent> out;
  for (auto& e : cap.collector().take()) {
    if (e.target == "ostrel_core::policy") out.push_back(std::move(e));
  }
  return out;
}

TEST(PolicyEngine, Identity) {
  const PolicyEngine e(PolicySet{});
  EXPECT_EQ(e.name(), "policy");
  EXPECT_EQ(e.priority(), 50u);
}

TEST(PolicyEngine, LowerPriorityNumberDecidesAndTiesKeepDocumentOrder) {
  const PolicyEngine e(toml(R"(
[[policy]]
name = "late refuse"
effect = "refuse"
priority = 10
conditions = []
[[policy]]
name = "early permit"
effect = "permit"
priority = 5
conditions = []
)"));
  EXPECT_TRUE(permits(e, context()));

  const PolicyEngine tie(toml(R"(
[[policy]]
name = "first"
effect = "refuse"
priority = 7
conditions = []
[[policy]]
name = "second"
effect = "permit"
priority = 7
conditions = []
[[policy]]
name = "default priority"
effect = "permit"
conditions = []
)"));
  const auto v = run_now(tie.evaluate(context()));
  EXPECT_EQ(refusal(v).reason, "denied by policy 'first'");
  const auto active = tie.active();
  ASSERT_EQ(active->rules().size(), 3u);
  EXPECT_EQ(active->rules()[0].policy.name, "first");
  EXPECT_EQ(active->rules()[1].policy.name, "second");
  EXPECT_EQ(active->rules()[2].policy.name, "default priority");
  EXPECT_FALSE(active->has_rate_limit());
}

TEST(PolicyEngine, VerdictsAndTheirEvents) {
  log::ScopedCapture cap;
  const auto ctx = context("agent-9", "payments.refund");

  const PolicyEngine empty(PolicySet{});
  const auto none = run_now(empty.evaluate(ctx));
  EXPECT_EQ(refusal(none).evaluator, "policy");
  EXPECT_EQ(refusal(none).reason, "no policy permits 'payments.refund' for principal 'agent-9'");
  EXPECT_EQ(refusal(none).code, RefuseCode::NO_POLICY_MATCH);
  EXPECT_EQ(refusal(none).evaluation_id, ctx.evaluation_id);
  auto events = policy_events(cap);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].level, log::Level::Debug);
  EXPECT_EQ(events[0].message, "no matching policy (default deny)");
  ASSERT_NE(events[0].field("action"), nullptr);
  EXPECT_EQ(events[0].field("action")->text(), "payments.refund");

  const PolicyEngine refuser(toml("[[policy]]\nname = \"no refunds\"\neffect = \"refuse\"\nconditions = []\n"));
  const auto denied = run_now(refuser.evaluate(ctx));
  EXPECT_EQ(refusal(denied).reason, "denied by policy 'no refunds'");
  EXPECT_EQ(refusal(denied).code, RefuseCode::POLICY_DENIED);
  EXPECT_EQ(refusal(denied).display(), "[POLICY_DENIED] policy: denied by policy 'no refunds'");
  events = policy_events(cap);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].message, "policy refuses action");
  EXPECT_EQ(events[0].field("policy")->text(), "no refunds");

  const PolicyEngine permitter(toml("[[policy]]\nname = \"all\"\neffect = \"permit\"\nconditions = []\n"));
  const auto ok = run_now(permitter.evaluate(ctx));
  ASSERT_TRUE(std::holds_alternative<Permit>(ok));
  const PermitToken& token = std::get<Permit>(ok).token;
  EXPECT_EQ(token.evaluation_id, ctx.evaluation_id);
  EXPECT_EQ(token.action_name, "payments.refund");
  EXPECT_FALSE(token.signature.has_value());
  EXPECT_EQ(token.expires_at.seconds - token.issued_at.seconds, 30);
  events = policy_events(cap);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].level, log::Level::Debug);
  EXPECT_EQ(events[0].message, "policy permits action");
  EXPECT_EQ(events[0].field("policy")->text(), "all");
}

struct ConditionCase {
  const char* condition;  // a TOML inline table
  void (*adjust)(ActionContext&);
  bool holds;
};

void nothing(ActionContext&) {}
void set_param(ActionContext& c, const char* k, Value v) { c.action.params[k] = std::move(v); }

TEST(PolicyEngine, EveryConditionKind) {
  const ConditionCase cases[] = {
      {"{ identity_role = \"ops\" }", nothing, true},
      {"{ identity_role = \"Ops\" }", nothing, false},
      {"{ identity_role = \"op\" }", nothing, false},
      {"{ identity_kind = \"agent\" }", nothing, true},
      {"{ identity_kind = \"user\" }", nothing, false},
      {"{ identity_id = \"alice\" }", nothing, true},
      {"{ identity_id = \"Alice\" }", nothing, false},
      {"{ action = \"payments.*\" }", [](ActionContext& c) { c.action.name = "payments"; }, true},
      {"{ action = \"payments.*\" }", [](ActionContext& c) { c.action.name = "payments.refund"; }, true},
      {"{ action = \"payments.*\" }", [](ActionContext& c) { c.action.name = "paymentsx"; }, true},
      {"{ action = \"payments.*\" }", [](ActionContext& c) { c.action.name = "payment"; }, false},
      {"{ action = \"payments\" }", [](ActionContext& c) { c.action.name = "payments.refund"; }, false},
      {"{ action = \"*\" }", nothing, true},
      {"{ action = \"\" }", nothing, false},
      {"{ action = \"\" }", [](ActionContext& c) { c.action.name = ""; }, true},
      {"{ resource = \"*\" }", nothing, false},  // an action without resource never matches
      {"{ resource = \"db/*\" }", [](ActionContext& c) { c.action.resource = "db/users"; }, true},
      {"{ resource = \"db/*\" }", [](ActionContext& c) { c.action.resource = "fs/users"; }, false},
      {"{ param_max = { field = \"amount\", max = 100 } }", [](ActionContext& c) { set_param(c, "amount", 100.0); },
       true},
      {"{ param_max = { field = \"amount\", max = 100 } }",
       [](ActionContext& c) { set_param(c, "amount", std::uint64_t{100}); }, true},
      {"{ param_max = { field = \"amount\", max = 100 } }",
       [](ActionContext& c) { set_param(c, "amount", std::int64_t{-5}); }, true},
      {"{ param_max = { field = \"amount\", max = 100 } }", [](ActionContext& c) { set_param(c, "amount", 100.5); },
       false},
      {"{ param_max = { field = \"amount\", max = 100 } }", nothing, false},
      {"{ param_max = { field = \"amount\", max = 100 } }", [](ActionContext& c) { set_param(c, "amount", "50"); },
       false},
      {"{ param_max = { field = \"amount\", max = 100 } }", [](ActionContext& c) { set_param(c, "amount", true); },
       false},
      {"{ param_max = { field = \"amount\", max = 100 } }",
       [](ActionContext& c) { set_param(c, "amount", nullptr); }, false},
      {"{ param_max = { field = \"amount\", max = 100 } }",
       [](ActionContext& c) { set_param(c, "amount", std::nan("")); }, false},
      {"{ param_max = { field = \"amount\", max = nan } }", [](ActionContext& c) { set_param(c, "amount", 1.0); },
       false},
      {"{ param_max = { field = \"amount\", max = inf } }", [](ActionContext& c) { set_param(c, "amount", 1e308); },
       true},
      {"{ param_min = { field = \"amount\", min = 10 } }", [](ActionContext& c) { set_param(c, "amount", 10.0); },
       true},
      {"{ param_min = { field = \"amount\", min = 10 } }", [](ActionContext& c) { set_param(c, "amount", 9.99); },
       false},
      {"{ param_min = { field = \"amount\", min = 10 } }",
       [](ActionContext& c) { set_param(c, "amount", std::nan("")); }, false},
      {"{ param_in = { field = \"cur\", values = [\"EUR\", \"USD\"] } }",
       [](ActionContext& c) { set_param(c, "cur", "USD"); }, true},
      {"{ param_in = { field = \"cur\", values = [\"EUR\", \"USD\"] } }",
       [](ActionContext& c) { set_param(c, "cur", "usd"); }, false},
      {"{ param_in = { field = \"n\", values = [\"5\"] } }", [](ActionContext& c) { set_param(c, "n", 5.0); },
       false},
      {"{ param_in = { field = \"cur\", values = [] } }", [](ActionContext& c) { set_param(c, "cur", ""); }, false},
      {"{ param_in = { field = \"cur\", values = [\"EUR\"] } }", nothing, false},
      {"{ session_age_max = \"1h\" }",
       [](ActionContext& c) { c.session.started_at = common::Instant::now().plus_seconds(-3600); }, true},
      {"{ session_age_max = \"1h\" }",
       [](ActionContext& c) { c.session.started_at = common::Instant::now().plus_seconds(-3601); }, false},
      {"{ session_age_max = \"1h\" }",
       [](ActionContext& c) { c.session.started_at = common::Instant::now().plus_seconds(86400 * 365); }, true},
      // An unreadable duration means a day.
      {"{ session_age_max = \"soon\" }",
       [](ActionContext& c) { c.session.started_at = common::Instant::now().plus_seconds(-86400 + 60); }, true},
      {"{ session_age_max = \"soon\" }",
       [](ActionContext& c) { c.session.started_at = common::Instant::now().plus_seconds(-86401); }, false},
      {"{ session_age_max = \"0\" }", [](ActionContext& c) { c.session.started_at = common::Instant::now(); }, true},
  };
  for (const auto& c : cases) {
    const PolicyEngine e(permit_if(c.condition));
    auto ctx = context();
    c.adjust(ctx);
    EXPECT_EQ(permits(e, ctx), c.holds) << c.condition;
  }
}

TEST(PolicyEngine, ConditionsAreExaminedInOrderAndStopAtTheFirstFailure) {
  // A time window that cannot be read warns when examined; after a failing condition it is not.
  log::ScopedCapture cap;
  const PolicyEngine e(permit_if("{ identity_id = \"bob\" }, { time_window = \"bad\" }"));
  EXPECT_FALSE(permits(e, context("alice")));
  auto events = policy_events(cap);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].message, "no matching policy (default deny)");
  EXPECT_FALSE(permits(e, context("bob")));
  events = policy_events(cap);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].message, "TimeWindow: malformed (missing '-'), refusing");
}

common::Instant at_utc(int h, int m, int s, std::uint32_t nanos = 0) {
  constexpr std::int64_t k2024_01_15 = 1705276800;
  return common::Instant{k2024_01_15 + h * 3600 + m * 60 + s, nanos};
}

TEST(PolicyEngine, TimeWindowsExamineTheContextTimestamp) {
  const PolicyEngine office(permit_if("{ time_window = \"09:00-17:00\" }"));
  const PolicyEngine night(permit_if("{ time_window = \"22:00-06:00\" }"));
  const PolicyEngine berlin(permit_if("{ time_window = \"09:00-17:00 Europe/Berlin\" }"));
  struct Case {
    const PolicyEngine* engine;
    common::Instant t;
    bool holds;
  };
  const Case cases[] = {
      {&office, at_utc(17, 0, 0), true},  {&office, at_utc(17, 0, 1), false}, {&office, at_utc(17, 0, 0, 1), false},
      {&office, at_utc(9, 0, 0), true},   {&office, at_utc(8, 59, 59), false}, {&night, at_utc(23, 30, 0), true},
      {&night, at_utc(5, 59, 0), true},   {&night, at_utc(12, 0, 0), false},   {&berlin, at_utc(16, 0, 0), true},
      {&berlin, at_utc(16, 0, 1), false}, {&berlin, at_utc(8, 0, 0), true},    {&berlin, at_utc(7, 59, 0), false},
  };
  for (const auto& c : cases) {
    auto ctx = context();
    ctx.timestamp = c.t;
    EXPECT_EQ(permits(*c.engine, ctx), c.holds) << c.t.seconds << "." << c.t.nanos;
  }
}

TEST(PolicyEngine, UnreadableTimeWindowsWarnAndFail) {
  struct Case {
    const char* window;
    const char* message;
    const char* tz;
  };
  const Case cases[] = {
      {"09:00 - 17:00", "TimeWindow: malformed (missing '-'), refusing", nullptr},
      {"9am-17:00", "TimeWindow: malformed start HH:MM, refusing", nullptr},
      {"09:00-24:00", "TimeWindow: malformed end HH:MM, refusing", nullptr},
      {"09:00-17:00 Europe/Atlantis", "TimeWindow: unknown timezone, refusing", "Europe/Atlantis"},
  };
  log::ScopedCapture cap;
  for (const auto& c : cases) {
    const PolicyEngine e(permit_if(std::string("{ time_window = \"") + c.window + "\" }"));
    EXPECT_FALSE(permits(e, context())) << c.window;
    auto events = policy_events(cap);
    ASSERT_EQ(events.size(), 2u) << c.window;
    EXPECT_EQ(events[0].level, log::Level::Warn);
    EXPECT_EQ(events[0].message, c.message);
    ASSERT_NE(events[0].field("window"), nullptr);
    EXPECT_EQ(events[0].field("window")->text(), c.window);
    if (c.tz) {
      ASSERT_NE(events[0].field("tz"), nullptr);
      EXPECT_EQ(events[0].field("tz")->text(), c.tz);
    } else {
      EXPECT_EQ(events[0].field("tz"), nullptr);
    }
    // A refuse rule whose window does not read does not match either.
    const PolicyEngine r(toml(std::string("[[policy]]\nname=\"night\"\neffect=\"refuse\"\nconditions=[{time_window=\"") +
                              c.window + "\"}]\n[[policy]]\nname=\"all\"\neffect=\"permit\"\nconditions=[]\n"));
    EXPECT_TRUE(permits(r, context())) << c.window;
    cap.collector().clear();
  }
}

// A store that records its calls and fails on request.
class ScriptedStore final : public RateLimitStore {
 public:
  struct Call {
    std::string op;
    std::string key;
    std::int64_t now;
    std::uint64_t window;
  };
  bool fail_record = false;
  bool fail_count = false;
  std::vector<Call> calls;
  InMemoryRateLimitStore inner;

  runtime::Task<RecordResult> record(std::string_view key, std::int64_t now) override {
    calls.push_back({"record", std::string(key), now, 0});
    if (fail_record) co_return common::fail(RateLimitStoreError::backend_unavailable("connection refused"));
    co_return inner.record_now(key, now);
  }
  runtime::Task<CountResult> count_in_window(std::string_view key, std::int64_t now, std::uint64_t window) override {
    calls.push_back({"count", std::string(key), now, window});
    if (fail_count) co_return common::fail(RateLimitStoreError::corrupt("bad member"));
    co_return inner.count_now(key, now, window);
  }
};

TEST(PolicyEngine, RateLimitCountsThisActionAndIsPerPrincipalAndAction) {
  const PolicyEngine e(permit_if("{ rate_limit = { max = 2, window = \"1m\" } }"));
  EXPECT_TRUE(e.active()->has_rate_limit());
  EXPECT_TRUE(permits(e, context("alice", "pay")));
  EXPECT_TRUE(permits(e, context("alice", "pay")));
  const auto third = run_now(e.evaluate(context("alice", "pay")));
  EXPECT_EQ(refusal(third).code, RefuseCode::NO_POLICY_MATCH);  // an exceeded limit is just a failed condition
  EXPECT_TRUE(permits(e, context("bob", "pay")));
  EXPECT_TRUE(permits(e, context("alice", "read")));

  const PolicyEngine zero(permit_if("{ rate_limit = { max = 0, window = \"1m\" } }"));
  EXPECT_FALSE(permits(zero, context()));
}

TEST(PolicyEngine, RateLimitUsesOneKeyAndOneNowAndOnlyAsksWhenReached) {
  auto store = std::make_shared<ScriptedStore>();
  const PolicyEngine e(toml(R"(
[[policy]]
name = "bob only"
effect = "permit"
conditions = [{ identity_id = "bob" }, { rate_limit = { max = 9, window = "2m" } }]
[[policy]]
name = "limited"
effect = "permit"
conditions = [{ rate_limit = { max = 9, window = "lots" } }, { rate_limit = { max = 9, window = "30s" } }]
)"),
                       store);
  EXPECT_TRUE(permits(e, context("ag:ent", "a:b")));
  ASSERT_EQ(store->calls.size(), 3u);  // the first rule stops at identity_id: no count for it
  EXPECT_EQ(store->calls[0].op, "record");
  EXPECT_EQ(store->calls[0].key, "ag:ent:a:b");
  EXPECT_EQ(store->calls[1].op, "count");
  EXPECT_EQ(store->calls[1].window, 3600u);  // "lots" does not read
  EXPECT_EQ(store->calls[2].window, 30u);
  for (const auto& c : store->calls) {
    EXPECT_EQ(c.key, "ag:ent:a:b");
    EXPECT_EQ(c.now, store->calls[0].now);
  }
  // A key longer than the inline buffer reaches the store intact.
  store->calls.clear();
  const std::string long_principal(300, 'p');
  EXPECT_TRUE(permits(e, context(long_principal, "act")));
  EXPECT_EQ(store->calls.at(0).key, long_principal + ":act");
}

TEST(PolicyEngine, SetsWithoutRateLimitsNeverTouchTheStore) {
  auto store = std::make_shared<ScriptedStore>();
  store->fail_record = true;
  const PolicyEngine e(permit_if("{ action = \"read\" }"), store);
  EXPECT_TRUE(permits(e, context()));
  EXPECT_TRUE(store->calls.empty());
}

TEST(PolicyEngine, FailedRecordRefusesEveryActionOfARateLimitedSet) {
  log::ScopedCapture cap;
  auto store = std::make_shared<ScriptedStore>();
  store->fail_record = true;
  const PolicyEngine e(toml(R"(
[[policy]]
name = "free reads"
effect = "permit"
conditions = [{ action = "read" }]
[[policy]]
name = "limited writes"
effect = "permit"
conditions = [{ action = "write" }, { rate_limit = { max = 100, window = "1m" } }]
)"),
                       store);
  const auto ctx = context("alice", "read");
  const auto v = run_now(e.evaluate(ctx));
  EXPECT_EQ(refusal(v).reason, "rate-limit backend unavailable");
  EXPECT_EQ(refusal(v).code, RefuseCode::POLICY_DENIED);
  EXPECT_EQ(refusal(v).evaluation_id, ctx.evaluation_id);
  EXPECT_EQ(store->calls.size(), 1u);
  const auto events = policy_events(cap);
  ASSERT_EQ(events.size(), 1u);  // no rule was examined
  EXPECT_EQ(events[0].level, log::Level::Warn);
  EXPECT_EQ(events[0].message, "rate-limit store record failed, refusing action");
  EXPECT_EQ(events[0].field("error")->text(), "rate-limit backend unavailable: connection refused");
  EXPECT_EQ(events[0].field("key")->text(), "alice:read");
}

TEST(PolicyEngine, FailedCountFailsOnlyThatCondition) {
  log::ScopedCapture cap;
  auto store = std::make_shared<ScriptedStore>();
  store->fail_count = true;
  const PolicyEngine e(toml(R"(
[[policy]]
name = "limited"
effect = "permit"
conditions = [{ rate_limit = { max = 100, window = "1m" } }]
[[policy]]
name = "fallback"
effect = "refuse"
conditions = []
)"),
                       store);
  const auto v = run_now(e.evaluate(context()));
  EXPECT_EQ(refusal(v).reason, "denied by policy 'fallback'");
  const auto events = policy_events(cap);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].message, "rate-limit store error, failing closed");
  EXPECT_EQ(events[0].field("error")->text(), "rate-limit store corruption: bad member");
  EXPECT_EQ(events[0].field("key")->text(), "alice:read");
  EXPECT_EQ(events[1].message, "policy refuses action");
}

TEST(PolicyEngine, NullStoreFailsClosed) {
  const PolicyEngine e(permit_if("{ rate_limit = { max = 100, window = \"1m\" } }"), nullptr);
  EXPECT_EQ(refusal(run_now(e.evaluate(context()))).reason, "rate-limit backend unavailable");
  const PolicyEngine plain(permit_if(""), nullptr);
  EXPECT_TRUE(permits(plain, context()));
}

TEST(PolicyEngine, ReloadChangesTheNextEvaluationAndKeepsCounts) {
  log::ScopedCapture cap;
  PolicyEngine e(permit_if("{ rate_limit = { max = 2, window = \"1h\" } }"));
  const auto store_before = e.rate_store();
  EXPECT_TRUE(permits(e, context()));
  EXPECT_TRUE(permits(e, context()));
  cap.collector().clear();

  e.reload(toml(R"(
[[policy]]
name = "limited"
effect = "permit"
priority = 20
conditions = [{ rate_limit = { max = 3, window = "1h" } }]
[[policy]]
name = "stop bob"
effect = "refuse"
priority = 10
conditions = [{ identity_id = "bob" }]
)"));
  const auto events = policy_events(cap);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].level, log::Level::Info);
  EXPECT_EQ(events[0].message, "policies reloaded: 2 rules");
  EXPECT_TRUE(events[0].fields.empty());
  EXPECT_EQ(e.rate_store(), store_before);

  EXPECT_EQ(refusal(run_now(e.evaluate(context("bob")))).reason, "denied by policy 'stop bob'");
  EXPECT_TRUE(permits(e, context()));   // third action of alice: the two before the reload count
  EXPECT_FALSE(permits(e, context()));  // fourth

  cap.collector().clear();
  e.reload(PolicySet{});  // kill switch
  EXPECT_EQ(refusal(run_now(e.evaluate(context()))).code, RefuseCode::NO_POLICY_MATCH);
  EXPECT_EQ(policy_events(cap).front().message, "policies reloaded: 0 rules");
}

// A store whose record suspends until the test resumes it, to hold an evaluation mid-way.
class GatedStore final : public RateLimitStore {
 public:
  std::coroutine_handle<> parked;
  InMemoryRateLimitStore inner;

  struct Park {
    GatedStore* s;
    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<> h) noexcept { s->parked = h; }
    void await_resume() const noexcept {}
  };
  runtime::Task<RecordResult> record(std::string_view key, std::int64_t now) override {
    co_await Park{this};
    co_return inner.record_now(key, now);
  }
  runtime::Task<CountResult> count_in_window(std::string_view key, std::int64_t now, std::uint64_t w) override {
    co_return inner.count_now(key, now, w);
  }
};

struct Detached {
  struct promise_type {
    Detached get_return_object() noexcept { return {}; }
    std::suspend_never initial_suspend() noexcept { return {}; }
    std::suspend_never final_suspend() noexcept { return {}; }
    void return_void() noexcept {}
    void unhandled_exception() noexcept { std::terminate(); }
  };
};

TEST(PolicyEngine, EvaluationInProgressFinishesWithTheSetItStartedWith) {
  auto store = std::make_shared<GatedStore>();
  PolicyEngine e(toml("[[policy]]\nname=\"old\"\neffect=\"permit\"\nconditions=[{rate_limit={max=5,window=\"1m\"}}]\n"),
                 store);
  const auto ctx = context();
  std::optional<Verdict> result;
  [](const PolicyEngine& eng, const ActionContext& c, std::optional<Verdict>& out) -> Detached {
    out.emplace(co_await eng.evaluate(c));
  }(e, ctx, result);
  ASSERT_FALSE(result.has_value());
  ASSERT_TRUE(store->parked);

  e.reload(toml("[[policy]]\nname=\"new\"\neffect=\"refuse\"\nconditions=[]\n"));
  std::exchange(store->parked, {}).resume();
  ASSERT_TRUE(result.has_value());
  EXPECT_TRUE(std::holds_alternative<Permit>(*result));  // the old set decided

  EXPECT_EQ(refusal(run_now(e.evaluate(context()))).reason, "denied by policy 'new'");
}

TEST(PolicyEngine, ConcurrentEvaluationsSeeWholeSetsAcrossReloads) {
  // Two sets that differ in every rule: any verdict must come from one of them entirely.
  auto make = [](const char* tag, bool limited) {
    std::string text;
    for (int i = 0; i < 50; ++i) {
      text += "[[policy]]\nname=\"" + std::string(tag) + std::to_string(i) +
              "\"\neffect=\"refuse\"\nconditions=[{identity_id=\"nobody-" + tag + "\"}]\n";
    }
    text += "[[policy]]\nname=\"" + std::string(tag) + "-last\"\neffect=\"refuse\"\nconditions=[";
    text += limited ? "{rate_limit={max=1000000000,window=\"1m\"}}" : "";
    text += "]\n";
    return text;
  };
  const PolicySet a = toml(make("a", false));
  const PolicySet b = toml(make("b", true));
  PolicyEngine e(a);
  std::atomic<bool> stop{false};
  std::atomic<int> bad{0};
  std::atomic<long> done{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 2; ++t) {
    readers.emplace_back([&] {
      const auto ctx = context();
      while (!stop.load()) {
        const auto v = run_now(e.evaluate(ctx));
        const auto* r = std::get_if<Refuse>(&v);
        if (r == nullptr || (r->reason.reason != "denied by policy 'a-last'" &&
                             r->reason.reason != "denied by policy 'b-last'")) {
          ++bad;
        }
        ++done;
      }
    });
  }
  for (int i = 0; i < 400; ++i) e.reload(i % 2 ? a : b);
  while (done.load() < 2000) std::this_thread::yield();
  stop = true;
  for (auto& th : readers) th.join();
  EXPECT_EQ(bad.load(), 0);
}

}  // namespace
}  // namespace ostrel::core
