#include "core/gate.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/log.hpp"
#include "core/invalidation/in_memory_broadcaster.hpp"
#include "runtime/block_on.hpp"
#include "runtime/runtime.hpp"
#include "runtime/sleep.hpp"

namespace ostrel::core {
namespace {

using namespace std::chrono_literals;
using common::log::Level;
using common::log::OwnedEvent;

const common::Uuid kSession = common::Uuid::parse("67e55044-10b1-426f-9247-bb680e5fe0c8").value();

ActionContext make_ctx(std::string action = "transfer") {
  ActionDescriptor descriptor;
  descriptor.name = std::move(action);
  return ActionContext::create(Principal{"agent-7", PrincipalKind::Agent, {}}, std::move(descriptor),
                               SessionState::new_session(), EnvContext{});
}

Verdict run(const Gate& gate, const ActionContext& ctx) { return runtime::block_on(gate.evaluate(ctx)).value(); }
Verdict run_observe(const Gate& gate, const ActionContext& ctx) {
  return runtime::block_on(gate.evaluate_observe_only(ctx)).value();
}

// Names of the evaluators called, in call order, shared by the evaluators of one gate.
struct CallLog {
  std::mutex mu;
  std::vector<std::string> names;
  void add(std::string_view n) {
    std::lock_guard lock(mu);
    names.emplace_back(n);
  }
  std::vector<std::string> get() {
    std::lock_guard lock(mu);
    return names;
  }
};

enum class Answer { Permit, Refuse, Invalidate };

// Answers the same way every time and notes each call. With `suspend`, it first waits on a
// runtime timer, so the gate resumes on a worker in the middle of its chain.
class ScriptedEvaluator final : public Evaluator {
 public:
  ScriptedEvaluator(std::string name, std::uint32_t priority, Answer answer, std::shared_ptr<CallLog> log,
                    bool suspend = false)
      : name_(std::move(name)), priority_(priority), answer_(answer), log_(std::move(log)), suspend_(suspend) {}

  std::string_view name() const override { return name_; }
  std::uint32_t priority() const override { return priority_; }
  runtime::Task<Verdict> evaluate(const ActionContext& ctx) const override {
    log_->add(name_);
    if (suspend_) {
      auto wait = runtime::sleep_for(**runtime::runtime(), 1ms);
      co_await std::move(wait);
    }
    co_return answer(ctx);
  }

 private:
  Verdict answer(const ActionContext& ctx) const {
    switch (answer_) {
      case Answer::Permit:
        return Permit{PermitToken::mint(ctx.evaluation_id, ctx.action.name)};
      case Answer::Refuse:
        return Refuse{RefuseReason{name_, "not on my watch", ctx.evaluation_id, RefuseCode::POLICY_DENIED}};
      case Answer::Invalidate:
        break;
    }
    return Invalidate{InvalidationScope{SessionTarget{kSession}, "device changed", name_}};
  }

  std::string name_;
  std::uint32_t priority_;
  Answer answer_;
  std::shared_ptr<CallLog> log_;
  bool suspend_;
};

class FixedSigner final : public TokenSigner {
 public:
  common::Result<std::vector<std::uint8_t>, OstrelError> sign(const PermitToken& token) const override {
    ++calls;
    std::vector<std::uint8_t> sig{0xAB, 0xCD};
    const auto bytes = token.canonical_bytes();
    sig.insert(sig.end(), bytes.begin(), bytes.begin() + 4);
    return sig;
  }
  common::Result<void, OstrelError> verify(const PermitToken&, std::span<const std::uint8_t>) const override {
    return {};
  }
  mutable std::atomic<int> calls{0};
};

class FailingSigner final : public TokenSigner {
 public:
  common::Result<std::vector<std::uint8_t>, OstrelError> sign(const PermitToken&) const override {
    return common::fail(OstrelError::serialization("signing key unavailable"));
  }
  common::Result<void, OstrelError> verify(const PermitToken&, std::span<const std::uint8_t>) const override {
    return common::fail(OstrelError::serialization("signing key unavailable"));
  }
};

// Keeps what it is asked to publish, and fails every publication when `fail` is set.
class RecordingBroadcaster final : public InvalidationBroadcaster {
 public:
  explicit RecordingBroadcaster(bool fail) : fail_(fail) {}
  runtime::Task<PublishResult> publish(InvalidationScope scope) override {
    record(std::move(scope));
    co_return result();
  }
  InvalidationSubscription subscribe() override { return sender_.subscribe(); }
  std::vector<InvalidationScope> published() {
    std::lock_guard lock(mu_);
    return published_;
  }

 private:
  void record(InvalidationScope scope) {
    std::lock_guard lock(mu_);
    published_.push_back(std::move(scope));
  }
  PublishResult result() const {
    if (fail_) return common::fail(BroadcastError::backend_unavailable("connection refused"));
    return {};
  }

  bool fail_;
  runtime::BroadcastSender<InvalidationScope> sender_{1};
  std::mutex mu_;
  std::vector<InvalidationScope> published_;
};

std::vector<OwnedEvent> gate_events(common::log::CapturingCollector& c) {
  std::vector<OwnedEvent> out;
  for (auto& e : c.take()) {
    if (e.target == "ostrel_core::gate") out.push_back(std::move(e));
  }
  return out;
}

std::vector<std::string> messages(const std::vector<OwnedEvent>& events) {
  std::vector<std::string> out;
  for (const auto& e : events) out.push_back(e.message);
  return out;
}

std::string field(const OwnedEvent& e, std::string_view name) {
  const auto* f = e.field(name);
  return f != nullptr ? f->text() : "<absent>";
}

struct Fixture {
  std::shared_ptr<CallLog> calls = std::make_shared<CallLog>();
  std::shared_ptr<Evaluator> make(std::string name, std::uint32_t priority, Answer a = Answer::Permit,
                                  bool suspend = false) {
    return std::make_shared<ScriptedEvaluator>(std::move(name), priority, a, calls, suspend);
  }
};

TEST(Gate, EmptyChainPermitsWithAnUnsignedThirtySecondTokenOrASignedOne) {
  const ActionContext ctx = make_ctx();
  const Gate unsigned_gate = Gate::create({}, false);
  const Verdict v = run(unsigned_gate, ctx);
  ASSERT_TRUE(std::holds_alternative<Permit>(v));
  const PermitToken& t = std::get<Permit>(v).token;
  EXPECT_EQ(t.evaluation_id, ctx.evaluation_id);
  EXPECT_EQ(t.action_name, "transfer");
  EXPECT_EQ(t.expires_at.seconds - t.issued_at.seconds, 30);
  EXPECT_EQ(t.expires_at.nanos, t.issued_at.nanos);
  EXPECT_FALSE(t.signature.has_value());

  auto signer = std::make_shared<FixedSigner>();
  const Gate signed_gate = Gate::create({}, false).with_token_signer(signer);
  const Verdict s = run(signed_gate, ctx);
  ASSERT_TRUE(std::holds_alternative<Permit>(s));
  const PermitToken& st = std::get<Permit>(s).token;
  // The signature is over this very token: its canonical bytes start the signer's output.
  const auto bytes = st.canonical_bytes();
  EXPECT_EQ(st.signature, (std::vector<std::uint8_t>{0xAB, 0xCD, bytes[0], bytes[1], bytes[2], bytes[3]}));
  EXPECT_EQ(signer->calls.load(), 1);
}

TEST(Gate, ChainRunsInAscendingPriorityAndEqualPrioritiesKeepTheirOrder) {
  Fixture f;
  const Gate gate = Gate::create(
      {f.make("invariants", 150), f.make("policy", 50), f.make("drift", 100), f.make("late-a", 200),
       f.make("early", 10), f.make("late-b", 200), f.make("late-c", 200)},
      false);
  std::vector<std::string> order;
  for (const auto& e : gate.evaluators()) order.emplace_back(e->name());
  const std::vector<std::string> want{"early", "policy", "drift", "invariants", "late-a", "late-b", "late-c"};
  EXPECT_EQ(order, want);
  EXPECT_TRUE(std::holds_alternative<Permit>(run(gate, make_ctx())));
  EXPECT_EQ(f.calls->get(), want);
}

TEST(Gate, FirstVerdictThatIsNotAPermitEndsTheChainUnchanged) {
  struct Case {
    const char* label;
    Answer second;
    Answer third;
    std::size_t want_index;
  };
  for (const Case c : {Case{"refusal", Answer::Refuse, Answer::Invalidate, 1},
                       Case{"invalidation", Answer::Invalidate, Answer::Refuse, 2}}) {
    SCOPED_TRACE(c.label);
    Fixture f;
    auto broadcaster = std::make_shared<RecordingBroadcaster>(false);
    const Gate gate = Gate::create({f.make("first", 1), f.make("second", 2, c.second), f.make("third", 3, c.third)},
                                   false)
                          .with_broadcaster(broadcaster);
    const ActionContext ctx = make_ctx();
    const Verdict v = run(gate, ctx);
    ASSERT_EQ(v.index(), c.want_index);
    EXPECT_EQ(f.calls->get(), (std::vector<std::string>{"first", "second"}));
    if (const auto* r = std::get_if<Refuse>(&v)) {
      EXPECT_EQ(r->reason.display(), "[POLICY_DENIED] second: not on my watch");
      EXPECT_EQ(r->reason.evaluation_id, ctx.evaluation_id);
      EXPECT_TRUE(broadcaster->published().empty());
    } else {
      const auto& scope = std::get<Invalidate>(v).scope;
      EXPECT_EQ(scope.display(), "invalidate Session(67e55044-10b1-426f-9247-bb680e5fe0c8) by second: device changed");
      EXPECT_EQ(broadcaster->published(), std::vector<InvalidationScope>{scope});
    }
  }
}

TEST(Gate, InvalidatedSessionIsRefusedBeforeAnyEvaluator) {
  Fixture f;
  auto signer = std::make_shared<FixedSigner>();
  const Gate gate = Gate::create({f.make("policy", 50), f.make("drift", 100)}, false).with_token_signer(signer);
  ActionContext ctx = make_ctx();
  ctx.session.invalidated = true;
  common::log::ScopedCapture capture;
  const Verdict v = run(gate, ctx);
  ASSERT_TRUE(std::holds_alternative<Refuse>(v));
  const RefuseReason& r = std::get<Refuse>(v).reason;
  EXPECT_EQ(r.display(), "[SESSION_INVALID] gate: session has been invalidated");
  EXPECT_EQ(r.code, RefuseCode::SESSION_INVALID);
  EXPECT_EQ(r.evaluation_id, ctx.evaluation_id);
  EXPECT_TRUE(f.calls->get().empty());
  EXPECT_EQ(signer->calls.load(), 0);
  EXPECT_EQ(messages(gate_events(capture.collector())), std::vector<std::string>{"gate evaluation started"});
}

TEST(Gate, FailingBroadcastIsLoggedAndLeavesTheInvalidationStanding) {
  Fixture f;
  auto broadcaster = std::make_shared<RecordingBroadcaster>(true);
  const Gate gate = Gate::create({f.make("drift", 100, Answer::Invalidate), f.make("invariants", 150)}, false)
                        .with_broadcaster(broadcaster);
  const ActionContext ctx = make_ctx();
  common::log::ScopedCapture capture;
  const Verdict v = run(gate, ctx);
  ASSERT_TRUE(std::holds_alternative<Invalidate>(v));
  const InvalidationScope want{SessionTarget{kSession}, "device changed", "drift"};
  EXPECT_EQ(std::get<Invalidate>(v).scope, want);
  EXPECT_EQ(broadcaster->published(), std::vector<InvalidationScope>{want});
  EXPECT_EQ(f.calls->get(), std::vector<std::string>{"drift"});

  const auto events = gate_events(capture.collector());
  ASSERT_EQ(messages(events),
            (std::vector<std::string>{"gate evaluation started", "running evaluator", "authority invalidated",
                                      "invalidation broadcast failed, local verdict unaffected"}));
  const std::string scope_text = "invalidate Session(67e55044-10b1-426f-9247-bb680e5fe0c8) by drift: device changed";
  EXPECT_EQ(events[2].level, Level::Error);
  EXPECT_EQ(field(events[2], "evaluator"), "drift");
  EXPECT_EQ(field(events[2], "scope"), scope_text);
  EXPECT_EQ(events[3].level, Level::Warn);
  EXPECT_EQ(field(events[3], "error"), "invalidation broadcast backend unavailable: connection refused");
  EXPECT_EQ(field(events[3], "scope"), scope_text);
}

TEST(Gate, InvalidationReachesSubscribersOfAnInMemoryBroadcaster) {
  Fixture f;
  auto broadcaster = InMemoryInvalidationBroadcaster::with_capacity();
  auto subscription = broadcaster->subscribe();
  const Gate gate = Gate::create({f.make("drift", 100, Answer::Invalidate)}, false).with_broadcaster(broadcaster);
  const Verdict v = run(gate, make_ctx());
  auto got = subscription.try_recv();
  ASSERT_EQ(got.index(), 0u);
  EXPECT_EQ(std::get<0>(got), std::get<Invalidate>(v).scope);
}

TEST(Gate, FailingSignerTurnsThePermitIntoAnIdentityRefusal) {
  Fixture f;
  const Gate gate =
      Gate::create({f.make("policy", 50)}, false).with_token_signer(std::make_shared<FailingSigner>());
  const ActionContext ctx = make_ctx();
  common::log::ScopedCapture capture;
  const Verdict v = run(gate, ctx);
  ASSERT_TRUE(std::holds_alternative<Refuse>(v));
  const RefuseReason& r = std::get<Refuse>(v).reason;
  EXPECT_EQ(r.code, RefuseCode::IDENTITY_FAILED);
  EXPECT_EQ(r.evaluator, "gate");
  EXPECT_EQ(r.reason, "token signing failed: serialization error: signing key unavailable");
  EXPECT_EQ(r.evaluation_id, ctx.evaluation_id);

  const auto events = gate_events(capture.collector());
  ASSERT_EQ(messages(events),
            (std::vector<std::string>{"gate evaluation started", "running evaluator", "evaluator permits",
                                      "token signing failed, refusing action (fail-closed)"}));
  EXPECT_EQ(events[3].level, Level::Error);
  EXPECT_EQ(field(events[3], "error"), "serialization error: signing key unavailable");
}

TEST(Gate, EveryEventOfAPermitAndARefusalWithItsFields) {
  Fixture f;
  const Gate permitting = Gate::create({f.make("policy", 50), f.make("drift", 100)}, false);
  const Gate refusing = Gate::create({f.make("policy", 50, Answer::Refuse)}, false);
  const ActionContext ctx = make_ctx("wire_funds");
  const std::string id = ctx.evaluation_id.to_string();

  common::log::ScopedCapture capture;
  (void)run(permitting, ctx);
  auto events = gate_events(capture.collector());
  ASSERT_EQ(messages(events),
            (std::vector<std::string>{"gate evaluation started", "running evaluator", "evaluator permits",
                                      "running evaluator", "evaluator permits",
                                      "all evaluators passed, action permitted"}));
  for (const auto& e : events) {
    EXPECT_EQ(e.file, "core/src/gate");
  }
  EXPECT_EQ(events[0].level, Level::Info);
  EXPECT_EQ(field(events[0], "evaluation_id"), id);
  EXPECT_EQ(field(events[0], "principal"), "agent-7");
  EXPECT_EQ(field(events[0], "action"), "wire_funds");
  EXPECT_EQ(events[1].level, Level::Debug);
  EXPECT_EQ(field(events[1], "evaluator"), "policy");
  ASSERT_NE(events[1].field("priority"), nullptr);
  EXPECT_TRUE(std::holds_alternative<std::uint64_t>(events[1].field("priority")->value)) << "an integer, not text";
  EXPECT_EQ(field(events[1], "priority"), "50");
  EXPECT_EQ(events[2].level, Level::Debug);
  EXPECT_EQ(field(events[2], "evaluator"), "policy");
  EXPECT_EQ(field(events[3], "priority"), "100");
  EXPECT_EQ(field(events[4], "evaluator"), "drift");
  EXPECT_EQ(events[5].level, Level::Info);
  EXPECT_EQ(field(events[5], "evaluation_id"), id);

  (void)run(refusing, ctx);
  events = gate_events(capture.collector());
  ASSERT_EQ(messages(events),
            (std::vector<std::string>{"gate evaluation started", "running evaluator", "action refused"}));
  EXPECT_EQ(events[2].level, Level::Warn);
  EXPECT_EQ(field(events[2], "evaluator"), "policy");
  EXPECT_EQ(field(events[2], "reason"), "[POLICY_DENIED] policy: not on my watch");
}

TEST(Gate, ObserveOnlyRunsEverythingAndAnswersAFreshUnsignedPermit) {
  Fixture f;
  auto signer = std::make_shared<FixedSigner>();
  auto broadcaster = std::make_shared<RecordingBroadcaster>(false);
  const Gate refusing = Gate::create({f.make("policy", 50, Answer::Refuse), f.make("drift", 100)}, true)
                            .with_token_signer(signer)
                            .with_broadcaster(broadcaster);
  EXPECT_TRUE(refusing.observe_only());
  const ActionContext ctx = make_ctx();
  common::log::ScopedCapture capture;

  const Verdict v = run_observe(refusing, ctx);
  ASSERT_TRUE(std::holds_alternative<Permit>(v));
  EXPECT_FALSE(std::get<Permit>(v).token.signature.has_value());
  EXPECT_EQ(std::get<Permit>(v).token.evaluation_id, ctx.evaluation_id);
  EXPECT_EQ(f.calls->get(), std::vector<std::string>{"policy"});
  auto events = gate_events(capture.collector());
  ASSERT_EQ(messages(events),
            (std::vector<std::string>{"gate evaluation started", "running evaluator", "action refused",
                                      "observe-only: would have blocked this action"}));
  EXPECT_EQ(events[3].level, Level::Info);
  EXPECT_EQ(field(events[3], "evaluation_id"), ctx.evaluation_id.to_string());
  EXPECT_EQ(field(events[3], "action"), "transfer");

  // An invalidating chain is still announced.
  const Gate invalidating = Gate::create({f.make("drift", 100, Answer::Invalidate)}, true).with_broadcaster(broadcaster);
  EXPECT_TRUE(std::holds_alternative<Permit>(run_observe(invalidating, ctx)));
  EXPECT_EQ(broadcaster->published().size(), 1u);
  EXPECT_EQ(messages(gate_events(capture.collector())).back(), "observe-only: would have blocked this action");

  // A permitting chain signs its own token (signing is part of the full run), yet the answer is
  // a different, unsigned token, and nothing "would have been blocked".
  const Gate permitting = Gate::create({f.make("policy", 50)}, true).with_token_signer(signer);
  const int signed_before = signer->calls.load();
  const Verdict p = run_observe(permitting, ctx);
  ASSERT_TRUE(std::holds_alternative<Permit>(p));
  EXPECT_FALSE(std::get<Permit>(p).token.signature.has_value());
  EXPECT_EQ(signer->calls.load(), signed_before + 1);
  EXPECT_EQ(messages(gate_events(capture.collector())).back(), "all evaluators passed, action permitted");
}

TEST(Gate, ObserveOnlyWithAFailingSignerStillPermits) {
  Fixture f;
  const Gate gate = Gate::create({f.make("policy", 50)}, true).with_token_signer(std::make_shared<FailingSigner>());
  common::log::ScopedCapture capture;
  const Verdict v = run_observe(gate, make_ctx());
  ASSERT_TRUE(std::holds_alternative<Permit>(v));
  EXPECT_FALSE(std::get<Permit>(v).token.signature.has_value());
  const auto events = gate_events(capture.collector());
  ASSERT_GE(events.size(), 2u);
  EXPECT_EQ(events[events.size() - 2].message, "token signing failed, refusing action (fail-closed)");
  EXPECT_EQ(events.back().message, "observe-only: would have blocked this action");
}

TEST(Gate, TheGateMintsItsOwnTokenPerEvaluation) {
  Fixture f;
  const Gate gate = Gate::create({f.make("policy", 50)}, false);
  const ActionContext ctx = make_ctx();
  const Verdict a = run(gate, ctx);
  const Verdict b = run(gate, ctx);
  ASSERT_TRUE(std::holds_alternative<Permit>(a));
  ASSERT_TRUE(std::holds_alternative<Permit>(b));
  EXPECT_EQ(std::get<Permit>(a).token.evaluation_id, ctx.evaluation_id);
  EXPECT_EQ(std::get<Permit>(b).token.evaluation_id, ctx.evaluation_id);
  EXPECT_NE(std::get<Permit>(a).token.token_id, std::get<Permit>(b).token.token_id);
}

TEST(Gate, EvaluatorsThatWaitOnTheRuntimeKeepTheChainInOrder) {
  Fixture f;
  const Gate gate = Gate::create({f.make("c", 3, Answer::Refuse, true), f.make("a", 1, Answer::Permit, true),
                                  f.make("b", 2, Answer::Permit, true)},
                                 false);
  const Verdict v = run(gate, make_ctx());
  ASSERT_TRUE(std::holds_alternative<Refuse>(v));
  EXPECT_EQ(std::get<Refuse>(v).reason.evaluator, "c");
  EXPECT_EQ(f.calls->get(), (std::vector<std::string>{"a", "b", "c"}));
}

TEST(Gate, ManyThreadsShareOneGate) {
  Fixture f;
  auto signer = std::make_shared<FixedSigner>();
  const Gate gate = Gate::create({f.make("policy", 50), f.make("drift", 100, Answer::Permit, true)}, false)
                        .with_token_signer(signer);
  constexpr int kThreads = 4;
  constexpr int kEach = 50;
  std::atomic<int> permits{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&] {
      for (int j = 0; j < kEach; ++j) {
        const ActionContext ctx = make_ctx();
        auto v = runtime::block_on(gate.evaluate(ctx));
        if (v && std::holds_alternative<Permit>(*v) && std::get<Permit>(*v).token.signature) ++permits;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(permits.load(), kThreads * kEach);
  EXPECT_EQ(signer->calls.load(), kThreads * kEach);
}

TEST(Gate, NullCollaboratorsFallBackToTheDefaults) {
  Fixture f;
  const Gate gate = Gate::create({nullptr, f.make("policy", 50, Answer::Invalidate), nullptr}, false)
                        .with_broadcaster(nullptr)
                        .with_token_signer(nullptr);
  EXPECT_EQ(gate.evaluator_count(), 1u);
  ASSERT_NE(gate.broadcaster(), nullptr);
  EXPECT_EQ(gate.token_signer(), nullptr);
  EXPECT_TRUE(std::holds_alternative<Invalidate>(run(gate, make_ctx())));
}

}  // namespace
}  // namespace ostrel::core
