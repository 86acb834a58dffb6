#include "core/drift/drift_evaluator.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "common/log.hpp"
#include "core/drift/behavior_drift.hpp"
#include "core/drift/device_drift.hpp"
#include "core/drift/geo_location_drift.hpp"
#include "core/drift/session_age_drift.hpp"
#include "runtime/block_on.hpp"

namespace ostrel::core {
namespace {

using common::Instant;
using common::IpAddr;

ActionContext make_ctx() {
  ActionDescriptor descriptor;
  descriptor.name = "transfer";
  return ActionContext::create(Principal{"agent-7", PrincipalKind::Agent, {}}, std::move(descriptor),
                               SessionState::new_session(), EnvContext{});
}

IpAddr ip(const char* text) {
  auto parsed = IpAddr::parse(text);
  EXPECT_TRUE(parsed.has_value()) << text;
  return parsed.value_or(IpAddr{});
}

GeoLocation geo(const char* country, std::optional<std::string> city, std::optional<double> lat,
                std::optional<double> lon) {
  return GeoLocation{country, std::nullopt, std::move(city), lat, lon};
}

ActionContext ip_change(const char* origin, const char* current) {
  ActionContext ctx = make_ctx();
  ctx.session.origin_ip = ip(origin);
  ctx.env.ip = ip(current);
  return ctx;
}

template <class T>
T run(runtime::Task<T> task) {
  return runtime::block_on(std::move(task)).value();
}

std::string describe(const DriftSignal& s) {
  if (std::holds_alternative<NoDrift>(s)) return "none";
  if (const auto* w = std::get_if<DriftWarning>(&s)) return "warning[" + w->detector + "]: " + w->message;
  const auto& v = std::get<DriftViolation>(s);
  return "violation[" + v.detector + "]: " + v.reason;
}

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(DriftGeo, NoDriftUnlessBothAddressesArePresentAndDiffer) {
  const GeoLocationDrift strict;
  ActionContext ctx = make_ctx();
  // Locations on different continents do not matter without an address change.
  ctx.session.origin_geo = geo("US", "Denver", 39.7, -104.9);
  ctx.env.current_geo = geo("JP", "Tokyo", 35.6, 139.6);
  EXPECT_EQ(describe(strict.signal(ctx)), "none");
  ctx.env.ip = ip("10.0.0.2");
  EXPECT_EQ(describe(strict.signal(ctx)), "none");
  ctx.env.ip.reset();
  ctx.session.origin_ip = ip("10.0.0.1");
  EXPECT_EQ(describe(strict.signal(ctx)), "none");
  ctx.env.ip = ip("10.0.0.1");
  EXPECT_EQ(describe(strict.signal(ctx)), "none");
  ctx.session.origin_ip = ip("2001:db8::1");
  ctx.env.ip = ip("2001:0db8:0:0:0:0:0:1");
  EXPECT_EQ(describe(strict.signal(ctx)), "none");
}

TEST(DriftGeo, StrictModeReasonsNameBothAddressesAndTheCurrentPlace) {
  const GeoLocationDrift strict;
  ActionContext ctx = ip_change("10.0.0.1", "10.0.0.2");
  EXPECT_EQ(describe(strict.signal(ctx)),
            "violation[geo_drift]: IP changed mid-session: 10.0.0.1 → 10.0.0.2");
  ctx.env.current_geo = geo("US", std::nullopt, std::nullopt, std::nullopt);
  EXPECT_EQ(describe(strict.signal(ctx)),
            "violation[geo_drift]: IP changed mid-session: 10.0.0.1 → 10.0.0.2 (current geo: US)");
  ctx.env.current_geo = geo("US", "Denver", std::nullopt, std::nullopt);
  ctx.env.current_geo->region = "CO";  // never shown
  EXPECT_EQ(describe(strict.signal(ctx)),
            "violation[geo_drift]: IP changed mid-session: 10.0.0.1 → 10.0.0.2 (current geo: US/Denver)");

  // Families differ: changed, even for the IPv4-mapped form of the same address.
  EXPECT_EQ(describe(strict.signal(ip_change("10.0.0.1", "2001:db8:0:0:0:0:0:1"))),
            "violation[geo_drift]: IP changed mid-session: 10.0.0.1 → 2001:db8::1");
  EXPECT_EQ(describe(strict.signal(ip_change("10.0.0.1", "::ffff:10.0.0.1"))),
            "violation[geo_drift]: IP changed mid-session: 10.0.0.1 → ::ffff:10.0.0.1");
}

TEST(DriftGeo, TolerantModeMeasuresTheDistance) {
  const GeoLocationDrift tolerant(500.0);
  const auto at = [](std::optional<double> lat, std::optional<double> lon) {
    ActionContext ctx = ip_change("10.0.0.1", "10.0.0.2");
    ctx.session.origin_geo = geo("GH", std::nullopt, 0.0, 0.0);
    ctx.env.current_geo = geo("GH", "Accra", lat, lon);
    return ctx;
  };
  const std::string tail = ": 10.0.0.1 → 10.0.0.2 (current geo: GH/Accra)";
  const std::string unverifiable =
      "violation[geo_drift]: IP changed mid-session and geo distance is unverifiable" + tail;
  const struct {
    const char* label;
    ActionContext ctx;
    std::string expected;
  } cases[] = {
      // One degree of longitude on the equator is 111.19 km.
      {"within", at(0.0, 1.0),
       "warning[geo_drift]: IP changed mid-session but within 500.0km threshold (111.2km)" + tail},
      {"beyond", at(0.0, 6.0),
       "violation[geo_drift]: IP changed mid-session and moved 667.2km (> 500.0km threshold)" + tail},
      {"no current longitude", at(0.0, std::nullopt), unverifiable},
      {"no current latitude", at(std::nullopt, 1.0), unverifiable},
      {"NaN coordinate", at(kNaN, 1.0), unverifiable},
  };
  for (const auto& c : cases) EXPECT_EQ(describe(tolerant.signal(c.ctx)), c.expected) << c.label;

  ActionContext no_origin_geo = at(0.0, 1.0);
  no_origin_geo.session.origin_geo.reset();
  EXPECT_EQ(describe(tolerant.signal(no_origin_geo)), unverifiable);
  ActionContext no_current_geo = at(0.0, 1.0);
  no_current_geo.env.current_geo.reset();
  EXPECT_EQ(describe(tolerant.signal(no_current_geo)),
            "violation[geo_drift]: IP changed mid-session and geo distance is unverifiable: "
            "10.0.0.1 → 10.0.0.2");

  // Exactly at the limit is still within it.
  const ActionContext same_place = at(0.0, 0.0);
  EXPECT_EQ(describe(GeoLocationDrift(0.0).signal(same_place)),
            "warning[geo_drift]: IP changed mid-session but within 0.0km threshold (0.0km)" + tail);
  // A NaN limit tolerates nothing.
  EXPECT_EQ(describe(GeoLocationDrift(kNaN).signal(at(0.0, 1.0))),
            "violation[geo_drift]: IP changed mid-session and moved 111.2km (> NaNkm threshold)" + tail);
}

TEST(DriftSessionAge, ThresholdsAtThreeQuartersAndTheMaximum) {
  const SessionAgeDrift detector(14400);
  ActionContext ctx = make_ctx();
  const Instant start{1'700'000'000, 250'000'000};
  ctx.session.started_at = start;
  const struct {
    std::int64_t age;
    std::string expected;
  } cases[] = {
      {0, "none"},
      {10800, "none"},
      {10801, "warning[session_age_drift]: session approaching max age (10801s / 14400s)"},
      {14400, "warning[session_age_drift]: session approaching max age (14400s / 14400s)"},
      {14401, "violation[session_age_drift]: session age (14401s) exceeds maximum (14400s)"},
      {-3600, "none"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(describe(detector.signal_at(ctx, start.plus_seconds(c.age))), c.expected) << c.age;
  }
  // A fraction short of the next second does not count.
  EXPECT_EQ(describe(detector.signal_at(ctx, Instant{start.seconds + 10801, 249'999'999})), "none");

  // Three quarters truncate toward zero: 3 * 3 / 4 = 2, -4 * 3 / 4 = -3.
  EXPECT_EQ(describe(SessionAgeDrift(3).signal_at(ctx, start.plus_seconds(2))), "none");
  EXPECT_EQ(describe(SessionAgeDrift(3).signal_at(ctx, start.plus_seconds(3))),
            "warning[session_age_drift]: session approaching max age (3s / 3s)");
  EXPECT_EQ(describe(SessionAgeDrift(-4).signal_at(ctx, start.plus_seconds(-3))),
            "violation[session_age_drift]: session age (-3s) exceeds maximum (-4s)");
  // The largest limits must not overflow when taking three quarters.
  const SessionAgeDrift huge(std::numeric_limits<std::int64_t>::max());
  EXPECT_EQ(describe(huge.signal_at(ctx, start)), "none");
  const SessionAgeDrift lowest(std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(describe(lowest.signal_at(ctx, start)).substr(0, 27), "violation[session_age_drift");

  // detect() reads the clock.
  ctx.session.started_at = Instant::now().plus_seconds(-12000);
  EXPECT_EQ(describe(run(detector.detect(ctx))).substr(0, 63),
            "warning[session_age_drift]: session approaching max age (12000s");
}

TEST(DriftDevice, AnyDifferenceInHashOrDescriptionIsAViolation) {
  const DeviceDrift detector;
  const std::string changed = "violation[device_drift]: device fingerprint changed mid-session";
  const DeviceFingerprint laptop{"abc", "laptop"};
  const struct {
    const char* label;
    std::optional<DeviceFingerprint> origin, current;
    std::string expected;
  } cases[] = {
      {"none known", std::nullopt, std::nullopt, "none"},
      {"no origin", std::nullopt, laptop, "none"},
      {"no current", laptop, std::nullopt, "none"},
      {"same", laptop, laptop, "none"},
      {"same without descriptions", DeviceFingerprint{"abc", {}}, DeviceFingerprint{"abc", {}}, "none"},
      {"description dropped", laptop, DeviceFingerprint{"abc", {}}, changed},
      {"description added", DeviceFingerprint{"abc", {}}, laptop, changed},
      {"description differs", laptop, DeviceFingerprint{"abc", "phone"}, changed},
      {"hash differs", laptop, DeviceFingerprint{"abd", "laptop"}, changed},
  };
  for (const auto& c : cases) {
    ActionContext ctx = make_ctx();
    ctx.session.origin_device = c.origin;
    ctx.env.device = c.current;
    EXPECT_EQ(describe(detector.signal(ctx)), c.expected) << c.label;
  }
}

TEST(DriftBehavior, RateIsActionsPerWholeMinuteWithTheFirstTwoAsOne) {
  const BehaviorDrift detector(30, 100);
  const Instant start{1'700'000'000, 0};
  const struct {
    std::int64_t age;
    std::uint64_t actions;
    std::string expected;
  } cases[] = {
      {59, 90, "warning[behavior_drift]: elevated action rate: 90/min"},
      {59, 101, "violation[behavior_drift]: action rate (101/min) exceeds violation threshold (100)"},
      {59, 100, "warning[behavior_drift]: elevated action rate: 100/min"},
      {59, 30, "none"},
      {330, 300, "warning[behavior_drift]: elevated action rate: 60/min"},
      {119, 101, "violation[behavior_drift]: action rate (101/min) exceeds violation threshold (100)"},
      {120, 101, "warning[behavior_drift]: elevated action rate: 50/min"},
      {-600, 31, "warning[behavior_drift]: elevated action rate: 31/min"},
      {0, 0, "none"},
      {600, std::numeric_limits<std::uint64_t>::max(),
       "violation[behavior_drift]: action rate (1844674407370955161/min) exceeds violation threshold (100)"},
  };
  for (const auto& c : cases) {
    ActionContext ctx = make_ctx();
    ctx.session.started_at = start;
    ctx.session.action_count = c.actions;
    EXPECT_EQ(describe(detector.signal_at(ctx, start.plus_seconds(c.age))), c.expected)
        << c.age << "s, " << c.actions;
  }
}

// Reports a fixed signal and counts its calls, to observe the evaluator's order and early exit.
class FixedDetector final : public DriftDetector {
 public:
  FixedDetector(std::string name, DriftSignal signal, std::shared_ptr<std::atomic<int>> calls)
      : name_(std::move(name)), signal_(std::move(signal)), calls_(std::move(calls)) {}
  std::string_view name() const override { return name_; }
  runtime::Task<DriftSignal> detect(const ActionContext&) const override {
    calls_->fetch_add(1);
    co_return signal_;
  }

 private:
  std::string name_;
  DriftSignal signal_;
  std::shared_ptr<std::atomic<int>> calls_;
};

struct Chain {
  std::vector<std::unique_ptr<DriftDetector>> detectors;
  std::vector<std::shared_ptr<std::atomic<int>>> calls;
  Chain& add(DriftSignal signal) {
    calls.push_back(std::make_shared<std::atomic<int>>(0));
    detectors.push_back(std::make_unique<FixedDetector>("d" + std::to_string(calls.size()),
                                                        std::move(signal), calls.back()));
    return *this;
  }
};

DriftSignal warn(const char* detector, const char* message) { return DriftWarning{detector, message}; }

TEST(DriftEvaluatorChain, WarningsBelowTheThresholdPermit) {
  Chain chain;
  chain.add(warn("a", "first")).add(NoDrift{}).add(warn("b", "second"));
  const DriftEvaluator evaluator(std::move(chain.detectors), 3);
  EXPECT_EQ(evaluator.name(), "drift");
  EXPECT_EQ(evaluator.priority(), 100u);

  common::log::ScopedCapture capture;
  const ActionContext ctx = make_ctx();
  const Verdict v = run(evaluator.evaluate(ctx));
  const auto* permit = std::get_if<Permit>(&v);
  ASSERT_NE(permit, nullptr);
  EXPECT_EQ(permit->token.evaluation_id, ctx.evaluation_id);
  EXPECT_EQ(permit->token.action_name, "transfer");
  for (const auto& c : chain.calls) EXPECT_EQ(c->load(), 1);

  const auto events = capture.collector().events();
  ASSERT_EQ(events.size(), 2u);
  for (const auto& e : events) {
    EXPECT_EQ(e.level, common::log::Level::Warn);
    EXPECT_EQ(e.target, "ostrel_core::drift");
    EXPECT_EQ(e.message, "drift warning");
    ASSERT_EQ(e.fields.size(), 2u);
    EXPECT_EQ(e.fields[0].name, "detector");
    EXPECT_EQ(e.fields[1].name, "message");
  }
  EXPECT_EQ(events[0].fields[0].text(), "a");
  EXPECT_EQ(events[0].fields[1].text(), "first");
  EXPECT_EQ(events[1].fields[0].text(), "b");
  EXPECT_EQ(events[1].fields[1].text(), "second");
}

TEST(DriftEvaluatorChain, WarningsAtTheThresholdRefuse) {
  Chain chain;
  chain.add(warn("a", "1")).add(warn("b", "2")).add(warn("c", "3"));
  const DriftEvaluator evaluator(std::move(chain.detectors), 3);
  const ActionContext ctx = make_ctx();
  const Verdict v = run(evaluator.evaluate(ctx));
  const auto* refuse = std::get_if<Refuse>(&v);
  ASSERT_NE(refuse, nullptr);
  EXPECT_EQ(refuse->reason.display(), "[DRIFT_DETECTED] drift: 3 concurrent drift warnings (threshold: 3)");
  EXPECT_EQ(refuse->reason.evaluation_id, ctx.evaluation_id);

  // A threshold of zero refuses even without warnings.
  const DriftEvaluator zero({}, 0);
  const Verdict z = run(zero.evaluate(ctx));
  ASSERT_TRUE(std::holds_alternative<Refuse>(z));
  EXPECT_EQ(std::get<Refuse>(z).reason.reason, "0 concurrent drift warnings (threshold: 0)");
}

TEST(DriftEvaluatorChain, AViolationInvalidatesTheSessionAndStopsTheChain) {
  Chain chain;
  chain.add(warn("a", "early warning"))
      .add(DriftViolation{"geo_drift", "IP changed mid-session: 10.0.0.1 → 10.0.0.2"})
      .add(DriftViolation{"device_drift", "device fingerprint changed mid-session"})
      .add(warn("b", "never seen"));
  const DriftEvaluator evaluator(std::move(chain.detectors), 1);

  common::log::ScopedCapture capture;
  const ActionContext ctx = make_ctx();
  const Verdict v = run(evaluator.evaluate(ctx));
  const auto* inv = std::get_if<Invalidate>(&v);
  ASSERT_NE(inv, nullptr);
  EXPECT_EQ(inv->scope, (InvalidationScope{SessionTarget{ctx.session.session_id},
                                           "IP changed mid-session: 10.0.0.1 → 10.0.0.2", "drift"}));
  EXPECT_EQ(chain.calls[0]->load(), 1);
  EXPECT_EQ(chain.calls[1]->load(), 1);
  EXPECT_EQ(chain.calls[2]->load(), 0);
  EXPECT_EQ(chain.calls[3]->load(), 0);

  const auto events = capture.collector().events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].message, "drift warning");
  EXPECT_EQ(events[1].level, common::log::Level::Error);
  EXPECT_EQ(events[1].target, "ostrel_core::drift");
  EXPECT_EQ(events[1].message, "drift violation");
  ASSERT_EQ(events[1].fields.size(), 2u);
  EXPECT_EQ(events[1].fields[0].name, "detector");
  EXPECT_EQ(events[1].fields[0].text(), "geo_drift");
  EXPECT_EQ(events[1].fields[1].name, "message");
  EXPECT_EQ(events[1].fields[1].text(), "IP changed mid-session: 10.0.0.1 → 10.0.0.2");
}

TEST(DriftGateEvaluator, IsBuiltWithTheGateDefaults) {
  const auto strict = make_gate_drift_evaluator(std::nullopt);
  ASSERT_NE(strict, nullptr);
  EXPECT_EQ(strict->warning_threshold(), 3u);
  ASSERT_EQ(strict->detectors().size(), 4u);
  const char* names[] = {"geo_drift", "session_age_drift", "device_drift", "behavior_drift"};
  for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(strict->detectors()[i]->name(), names[i]);
  const auto& geo_detector = dynamic_cast<const GeoLocationDrift&>(*strict->detectors()[0]);
  EXPECT_FALSE(geo_detector.max_distance_km().has_value());
  EXPECT_EQ(dynamic_cast<const SessionAgeDrift&>(*strict->detectors()[1]).max_age_secs(), 14400);
  const auto& behavior = dynamic_cast<const BehaviorDrift&>(*strict->detectors()[3]);
  EXPECT_EQ(behavior.warn_per_min(), 30u);
  EXPECT_EQ(behavior.violation_per_min(), 100u);
  const auto tolerant = make_gate_drift_evaluator(250.0);
  EXPECT_EQ(dynamic_cast<const GeoLocationDrift&>(*tolerant->detectors()[0]).max_distance_km(), 250.0);
}

TEST(DriftGateEvaluator, ThreeRealWarningsRefuseAndTwoPermit) {
  const auto evaluator = make_gate_drift_evaluator(500.0);
  ActionContext ctx = ip_change("10.0.0.1", "10.0.0.2");
  ctx.session.origin_geo = geo("GH", std::nullopt, 0.0, 0.0);
  ctx.env.current_geo = geo("GH", std::nullopt, 0.0, 1.0);
  ctx.session.origin_device = ctx.env.device = DeviceFingerprint{"abc", std::nullopt};
  // Well inside the warning bands, so the clock moving during the test changes nothing:
  // age about 12000 s (warning), 200 minutes at 50 actions each (warning).
  ctx.session.started_at = Instant::now().plus_seconds(-12030);
  ctx.session.action_count = 200 * 50;

  common::log::ScopedCapture capture;
  const Verdict three = run(evaluator->evaluate(ctx));
  ASSERT_TRUE(std::holds_alternative<Refuse>(three));
  EXPECT_EQ(std::get<Refuse>(three).reason.display(),
            "[DRIFT_DETECTED] drift: 3 concurrent drift warnings (threshold: 3)");
  const auto events = capture.collector().take();
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0].fields[0].text(), "geo_drift");
  EXPECT_EQ(events[1].fields[0].text(), "session_age_drift");
  EXPECT_EQ(events[2].fields[0].text(), "behavior_drift");
  EXPECT_EQ(events[2].fields[1].text(), "elevated action rate: 50/min");

  ctx.session.action_count = 10;
  EXPECT_TRUE(std::holds_alternative<Permit>(run(evaluator->evaluate(ctx))));

  // The device detector runs after the age warning: a changed device invalidates.
  ctx.env.device = DeviceFingerprint{"abc", "new laptop"};
  const Verdict changed = run(evaluator->evaluate(ctx));
  ASSERT_TRUE(std::holds_alternative<Invalidate>(changed));
  EXPECT_EQ(std::get<Invalidate>(changed).scope.display(),
            "invalidate Session(" + ctx.session.session_id.to_string() +
                ") by drift: device fingerprint changed mid-session");
}

}  // namespace
}  // namespace ostrel::core
