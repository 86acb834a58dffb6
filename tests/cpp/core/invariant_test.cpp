#include "core/invariant/invariant.hpp"

#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/log.hpp"
#include "core/invariant/invariant_set.hpp"
#include "core/invariant/number_text.hpp"
#include "runtime/block_on.hpp"

namespace ostrel::core {
namespace {

using common::json::Value;

ActionContext make_ctx(std::string action = "transfer") {
  ActionDescriptor descriptor;
  descriptor.name = std::move(action);
  return ActionContext::create(Principal{"agent-7", PrincipalKind::Agent, {}}, std::move(descriptor),
                               SessionState::new_session(), EnvContext{});
}

ActionContext with_param(std::string key, Value value) {
  ActionContext ctx = make_ctx();
  ctx.action.params.insert_or_assign(std::move(key), std::move(value));
  return ctx;
}

Verdict run(const Evaluator& evaluator, const ActionContext& ctx) {
  return runtime::block_on(evaluator.evaluate(ctx)).value();
}

std::string refusal_text(const Verdict& v) {
  const auto* r = std::get_if<Refuse>(&v);
  return r ? r->reason.reason : std::string("<not a refusal>");
}

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(InvariantNumberText, PlainTextIsShortestPositional) {
  const struct {
    double value;
    const char* text;
  } cases[] = {
      {1000.0, "1000"},
      {100.0, "100"},
      {2.5, "2.5"},
      {0.5, "0.5"},
      {0.1, "0.1"},
      {-3.25, "-3.25"},
      {0.0, "0"},
      {-0.0, "-0"},
      {1e21, "1000000000000000000000"},
      {1e-7, "0.0000001"},
      {123456789.125, "123456789.125"},
      // Beyond 2^53 only the shortest digits are written, padded with zeros, not the exact value.
      {1.2345678901234566e25, "12345678901234566000000000"},
      {9007199254740993.0, "9007199254740992"},
      {kNaN, "NaN"},
      {-kNaN, "NaN"},
      {kInf, "inf"},
      {-kInf, "-inf"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(plain_number_text(c.value), c.text) << c.text;
  }
}

TEST(InvariantNumberText, PlainTextRoundTripsWithoutExponent) {
  std::mt19937_64 rng(20240611);
  std::vector<double> values = {std::numeric_limits<double>::max(), std::numeric_limits<double>::min(),
                                std::numeric_limits<double>::denorm_min(), -1e300, 5e-324};
  std::uniform_real_distribution<double> mantissa(-10.0, 10.0);
  std::uniform_int_distribution<int> exponent(-320, 305);
  for (int i = 0; i < 2000; ++i) values.push_back(mantissa(rng) * std::pow(10.0, exponent(rng)));
  for (double v : values) {
    const std::string text = plain_number_text(v);
    ASSERT_EQ(text.find_first_of("eE"), std::string::npos) << text;
    double back = 0;
    const auto res = std::from_chars(text.data(), text.data() + text.size(), back);
    ASSERT_EQ(res.ec, std::errc()) << text;
    ASSERT_EQ(res.ptr, text.data() + text.size()) << text;
    EXPECT_EQ(back, v) << text;
    // Integral values carry no decimal point.
    if (std::trunc(v) == v) {
      EXPECT_EQ(text.find('.'), std::string::npos) << text;
    }
  }
  EXPECT_EQ(plain_number_text(std::numeric_limits<double>::max()).size(), 309u);
}

TEST(InvariantNumberText, FixedTextHasExactlyTheRequestedDecimals) {
  EXPECT_EQ(fixed_number_text(100.0, 1), "100.0");
  EXPECT_EQ(fixed_number_text(111.19492664455873, 1), "111.2");
  // Rounded on the binary value: 0.35 is just below the half, 99.95 just above.
  EXPECT_EQ(fixed_number_text(0.35, 1), "0.3");
  EXPECT_EQ(fixed_number_text(99.95, 1), "100.0");
  EXPECT_EQ(fixed_number_text(0.25, 1), "0.2");
  EXPECT_EQ(fixed_number_text(1e21, 1), "1000000000000000000000.0");
  EXPECT_EQ(fixed_number_text(kNaN, 1), "NaN");
  EXPECT_EQ(fixed_number_text(-kInf, 1), "-inf");
}

TEST(InvariantParamBounds, AtMostHoldsForAbsentOrNonNumericParameters) {
  const Invariant inv = Invariant::param_at_most("max_amount", "amount", 1000.0);
  EXPECT_EQ(inv.description, "parameter 'amount' must be at most 1000");
  const struct {
    const char* label;
    ActionContext ctx;
    bool holds;
  } cases[] = {
      {"999.5", with_param("amount", Value(999.5)), true},
      {"1000 unsigned", with_param("amount", Value(std::uint64_t{1000})), true},
      {"-5 signed", with_param("amount", Value(std::int64_t{-5})), true},
      {"1000.01", with_param("amount", Value(1000.01)), false},
      {"1001 unsigned", with_param("amount", Value(std::uint64_t{1001})), false},
      {"absent", make_ctx(), true},
      {"other parameter", with_param("amount_usd", Value(5000.0)), true},
      {"string 5000", with_param("amount", Value("5000")), true},
      {"null", with_param("amount", Value(nullptr)), true},
      {"boolean", with_param("amount", Value(true)), true},
      {"array", with_param("amount", Value(common::json::Array{Value(5000.0)})), true},
      // A NaN that reached the map raw compares false with everything: broken, not skipped.
      {"raw NaN", with_param("amount", Value(kNaN)), false},
      {"infinity", with_param("amount", Value(kInf)), false},
  };
  for (const auto& c : cases) EXPECT_EQ(inv.holds(c.ctx), c.holds) << c.label;
}

TEST(InvariantParamBounds, AtLeastAndNaNBounds) {
  const Invariant at_least{ParamAtLeast{"qty", 1.0}, "min_qty", "qty at least 1"};
  EXPECT_TRUE(at_least.holds(with_param("qty", Value(1.0))));
  EXPECT_TRUE(at_least.holds(with_param("qty", Value(std::uint64_t{7}))));
  EXPECT_FALSE(at_least.holds(with_param("qty", Value(0.999))));
  EXPECT_FALSE(at_least.holds(with_param("qty", Value(std::int64_t{-1}))));
  EXPECT_TRUE(at_least.holds(make_ctx()));
  EXPECT_TRUE(at_least.holds(with_param("qty", Value("0"))));

  // A NaN bound breaks the invariant for every present number, but an absent one still passes.
  const Invariant nan_max = Invariant::param_at_most("cap", "amount", kNaN);
  EXPECT_EQ(nan_max.description, "parameter 'amount' must be at most NaN");
  EXPECT_FALSE(nan_max.holds(with_param("amount", Value(0.0))));
  EXPECT_TRUE(nan_max.holds(make_ctx()));
  const Invariant nan_min{ParamAtLeast{"amount", kNaN}, "floor", "floor"};
  EXPECT_FALSE(nan_min.holds(with_param("amount", Value(0.0))));

  EXPECT_EQ(Invariant::param_at_most("c", "x", kInf).description, "parameter 'x' must be at most inf");
  EXPECT_EQ(Invariant::param_at_most("c", "x", -kInf).description, "parameter 'x' must be at most -inf");
  EXPECT_EQ(Invariant::param_at_most("c", "x", 1e-7).description,
            "parameter 'x' must be at most 0.0000001");
}

TEST(InvariantSessionLimits, MaxActionsPerSession) {
  const Invariant inv = Invariant::max_session_actions(3);
  EXPECT_EQ(inv.name, "max_session_actions");
  EXPECT_EQ(inv.description, "maximum 3 actions per session");
  ActionContext ctx = make_ctx();
  for (std::uint64_t count : {0u, 3u}) {
    ctx.session.action_count = count;
    EXPECT_TRUE(inv.holds(ctx)) << count;
  }
  ctx.session.action_count = 4;
  EXPECT_FALSE(inv.holds(ctx));

  const Invariant unlimited = Invariant::max_session_actions(std::numeric_limits<std::uint64_t>::max());
  EXPECT_EQ(unlimited.description, "maximum 18446744073709551615 actions per session");
  ctx.session.action_count = std::numeric_limits<std::uint64_t>::max();
  EXPECT_TRUE(unlimited.holds(ctx));
}

TEST(InvariantSessionLimits, MaxSessionAgeTruncatesTowardZero) {
  const Invariant inv{MaxSessionAge{100}, "age", "at most 100 s old"};
  ActionContext ctx = make_ctx();
  ctx.session.started_at = common::Instant{1'000'000, 500'000'000};
  const struct {
    common::Instant now;
    bool holds;
  } cases[] = {
      {{1'000'100, 500'000'000}, true},   // exactly 100 s
      {{1'000'101, 0}, true},             // 100.5 s counts as 100
      {{1'000'101, 499'999'999}, true},   // 100.999999999 s
      {{1'000'101, 500'000'000}, false},  // 101 s
      {{999'000, 0}, true},               // started in the future: negative age
  };
  for (const auto& c : cases) EXPECT_EQ(inv.holds_at(ctx, c.now), c.holds) << c.now.seconds;

  // holds() reads the clock itself.
  ctx.session.started_at = common::Instant::now().plus_seconds(-10);
  EXPECT_TRUE(inv.holds(ctx));
  ctx.session.started_at = common::Instant::now().plus_seconds(-7200);
  EXPECT_FALSE(inv.holds(ctx));
}

TEST(InvariantActionLists, AllowAndBlockListsMatchNamesExactly) {
  const Invariant allow{ActionAllowList{{"read", "list"}}, "allow", "read-only actions"};
  const Invariant block{ActionBlockList{{"delete"}}, "block", "no deletes"};
  const Invariant allow_none{ActionAllowList{}, "allow_none", "nothing allowed"};
  const Invariant block_none{ActionBlockList{}, "block_none", "nothing blocked"};
  const struct {
    const char* action;
    bool allow, block;
  } cases[] = {
      {"read", true, true},   {"list", true, true},     {"Read", false, true},
      {"delete", false, false}, {"Delete", false, true}, {"", false, true},
  };
  for (const auto& c : cases) {
    const ActionContext ctx = make_ctx(c.action);
    EXPECT_EQ(allow.holds(ctx), c.allow) << c.action;
    EXPECT_EQ(block.holds(ctx), c.block) << c.action;
    EXPECT_FALSE(allow_none.holds(ctx)) << c.action;
    EXPECT_TRUE(block_none.holds(ctx)) << c.action;
  }
}

TEST(InvariantPredicate, CallsTheFunctionAndFailsClosed) {
  auto only_ledger = std::make_shared<const PredicateFn>(
      [](const ActionContext& ctx) { return ctx.action.resource == std::optional<std::string>("ledger"); });
  const Invariant inv{Predicate{only_ledger}, "ledger_only", "only the ledger"};
  ActionContext ctx = make_ctx();
  EXPECT_FALSE(inv.holds(ctx));
  ctx.action.resource = "ledger";
  EXPECT_TRUE(inv.holds(ctx));

  // Copies share the one function.
  const Invariant copy = inv;
  EXPECT_EQ(std::get<Predicate>(copy.check).fn.get(), only_ledger.get());

  const Invariant throws{Predicate{std::make_shared<const PredicateFn>([](const ActionContext&) -> bool {
                           throw std::runtime_error("backend down");
                         })},
                         "throws", "throws"};
  EXPECT_FALSE(throws.holds(ctx));
  EXPECT_FALSE((Invariant{Predicate{nullptr}, "null", "null"}.holds(ctx)));
  EXPECT_FALSE((Invariant{Predicate{std::make_shared<const PredicateFn>()}, "empty", "empty"}.holds(ctx)));
}

TEST(InvariantSetEvaluate, PermitsWithATokenForThisEvaluation) {
  const InvariantSet set({Invariant::param_at_most("max_amount", "amount", 1000.0)});
  EXPECT_EQ(set.name(), "invariants");
  EXPECT_EQ(set.priority(), 150u);
  common::log::ScopedCapture capture;
  const ActionContext ctx = with_param("amount", Value(1000.0));
  const Verdict v = run(set, ctx);
  const auto* permit = std::get_if<Permit>(&v);
  ASSERT_NE(permit, nullptr);
  EXPECT_EQ(permit->token.evaluation_id, ctx.evaluation_id);
  EXPECT_EQ(permit->token.action_name, "transfer");
  EXPECT_FALSE(permit->token.signature.has_value());
  EXPECT_TRUE(capture.collector().events().empty());
  // An empty set (possible when built directly) permits.
  EXPECT_TRUE(std::holds_alternative<Permit>(run(InvariantSet({}), ctx)));
}

TEST(InvariantSetEvaluate, RefusesAtTheFirstBrokenInvariantAndLogsItOnce) {
  const InvariantSet set({
      Invariant{ActionBlockList{{"wire"}}, "no_wire", "wires are blocked"},
      Invariant::param_at_most("max_amount", "amount", 1000.0),
      Invariant::max_session_actions(3),
  });
  ActionContext ctx = with_param("amount", Value(1000.01));
  ctx.session.action_count = 4;  // also breaks the third invariant

  common::log::ScopedCapture capture;
  const Verdict v = run(set, ctx);
  const auto* refuse = std::get_if<Refuse>(&v);
  ASSERT_NE(refuse, nullptr);
  EXPECT_EQ(refuse->reason.evaluator, "invariants");
  EXPECT_EQ(refuse->reason.reason,
            "invariant 'max_amount' violated: parameter 'amount' must be at most 1000");
  EXPECT_EQ(refuse->reason.code, RefuseCode::INVARIANT_VIOLATION);
  EXPECT_EQ(refuse->reason.evaluation_id, ctx.evaluation_id);

  const auto events = capture.collector().events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].level, common::log::Level::Error);
  EXPECT_EQ(events[0].target, "ostrel_core::invariant");
  EXPECT_EQ(events[0].message, "invariant violation");
  ASSERT_EQ(events[0].fields.size(), 2u);
  EXPECT_EQ(events[0].fields[0].name, "invariant");
  EXPECT_EQ(events[0].fields[0].text(), "max_amount");
  EXPECT_EQ(events[0].fields[1].name, "description");
  EXPECT_EQ(events[0].fields[1].text(), "parameter 'amount' must be at most 1000");

  ctx.action.params.clear();
  EXPECT_EQ(refusal_text(run(set, ctx)),
            "invariant 'max_session_actions' violated: maximum 3 actions per session");
}

TEST(InvariantGateKeywords, BuildsParamLimitsThenSessionLimitInOrder) {
  const std::vector<ParamLimit> limits = {{"cap", "amount", 100.0}, {"fee_cap", "fee", 2.5}};
  const auto invariants = gate_invariants(limits, 10);
  ASSERT_EQ(invariants.size(), 3u);
  EXPECT_EQ(invariants[0].name, "cap");
  EXPECT_EQ(invariants[0].description, "parameter 'amount' must be at most 100");
  EXPECT_EQ(invariants[1].name, "fee_cap");
  EXPECT_EQ(invariants[1].description, "parameter 'fee' must be at most 2.5");
  EXPECT_EQ(invariants[2].name, "max_session_actions");
  EXPECT_EQ(invariants[2].description, "maximum 10 actions per session");
  ASSERT_TRUE(std::holds_alternative<MaxActionsPerSession>(invariants[2].check));
  EXPECT_EQ(std::get<MaxActionsPerSession>(invariants[2].check).limit, 10u);

  EXPECT_EQ(make_gate_invariant_set({}, std::nullopt), nullptr);
  const auto only_sessions = make_gate_invariant_set({}, 10);
  ASSERT_NE(only_sessions, nullptr);
  ActionContext ctx = make_ctx();
  ctx.session.action_count = 10;
  EXPECT_TRUE(std::holds_alternative<Permit>(run(*only_sessions, ctx)));
  ctx.session.action_count = 11;
  EXPECT_EQ(refusal_text(run(*only_sessions, ctx)),
            "invariant 'max_session_actions' violated: maximum 10 actions per session");
}

}  // namespace
}  // namespace ostrel::core
