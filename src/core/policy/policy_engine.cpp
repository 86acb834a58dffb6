#include "core/policy/policy_engine.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <utility>

#include "common/log.hpp"
#include "common/time.hpp"
#include "core/policy/pattern.hpp"
#include "core/rate_limit_in_memory.hpp"

namespace ostrel::core {
namespace {

namespace log = common::log;
constexpr std::string_view kTarget = "ostrel_core::policy";
constexpr std::string_view kFile = "core/src/policy";

// Stands in for a missing store so that a set with rate limits fails closed.
class NoRateLimitStore final : public RateLimitStore {
 public:
  runtime::Task<RecordResult> record(std::string_view, std::int64_t) override {
    co_return common::fail(RateLimitStoreError::backend_unavailable("no rate-limit store configured"));
  }
  runtime::Task<CountResult> count_in_window(std::string_view, std::int64_t, std::uint64_t) override {
    co_return common::fail(RateLimitStoreError::backend_unavailable("no rate-limit store configured"));
  }
};

// The rate-limit key, built in the evaluation's own frame: no allocation for ordinary lengths.
class RateLimitKey {
 public:
  RateLimitKey(std::string_view principal, std::string_view action) {
    const std::size_t n = principal.size() + 1 + action.size();
    char* out = inline_.data();
    if (n > inline_.size()) {
      heap_.resize(n);
      out = heap_.data();
    }
    std::memcpy(out, principal.data(), principal.size());
    out[principal.size()] = ':';
    std::memcpy(out + principal.size() + 1, action.data(), action.size());
    view_ = std::string_view(out, n);
  }
  RateLimitKey(const RateLimitKey&) = delete;
  RateLimitKey& operator=(const RateLimitKey&) = delete;
  std::string_view view() const noexcept { return view_; }

 private:
  std::array<char, 128> inline_;
  std::string heap_;
  std::string_view view_;
};

// Whole seconds from `from` to `to`, truncated toward zero.
std::int64_t whole_seconds_between(common::Instant from, common::Instant to) {
  std::int64_t secs = to.seconds - from.seconds;
  const std::int64_t nanos = static_cast<std::int64_t>(to.nanos) - static_cast<std::int64_t>(from.nanos);
  if (secs > 0 && nanos < 0) --secs;
  if (secs < 0 && nanos > 0) ++secs;
  return secs;
}

Verdict refuse(const ActionContext& ctx, std::string reason, RefuseCode code) {
  return Refuse{RefuseReason{std::string(PolicyEngine::NAME), std::move(reason), ctx.evaluation_id, code}};
}

void warn_store(std::string_view message, const RateLimitStoreError& e, std::string_view key) {
  if (!log::enabled()) return;
  const std::string error = e.display();
  log::emit(log::Level::Warn, kTarget, kFile, message, {{"error", error}, {"key", key}});
}

}  // namespace

PolicyEngine::PolicyEngine(PolicySet policies)
    : PolicyEngine(std::move(policies), std::make_shared<InMemoryRateLimitStore>()) {}

PolicyEngine::PolicyEngine(PolicySet policies, std::shared_ptr<RateLimitStore> rate_store)
    : rate_store_(rate_store ? std::move(rate_store) : std::make_shared<NoRateLimitStore>()),
      active_(std::make_shared<const CompiledPolicySet>(std::move(policies))) {}

void PolicyEngine::reload(PolicySet policies) {
  auto compiled = std::make_shared<const CompiledPolicySet>(std::move(policies));
  const std::size_t n = compiled->rules().size();
  active_.store(std::move(compiled));
  if (log::enabled()) {
    std::string message = "policies reloaded: ";
    message += std::to_string(n);
    message += " rules";
    log::emit(log::Level::Info, kTarget, kFile, message);
  }
}

PolicyEngine::Holds PolicyEngine::check(const Condition& c, const PreparedCondition& p,
                                        const ActionContext& ctx) const {
  auto holds = [](bool b) { return b ? Holds::Yes : Holds::No; };
  const ActionDescriptor& action = ctx.action;
  switch (c.index()) {
    case 0: {
      const std::string& role = std::get<cond::IdentityRole>(c).role;
      const auto& roles = ctx.principal.roles;
      return holds(std::find(roles.begin(), roles.end(), role) != roles.end());
    }
    case 1: return holds(ctx.principal.kind == std::get<cond::IdentityKind>(c).kind);
    case 2: return holds(ctx.principal.id == std::get<cond::IdentityId>(c).id);
    case 3: return holds(pattern_matches(std::get<cond::Action>(c).pattern, action.name));
    case 4: {
      const auto& m = std::get<cond::ParamMax>(c);
      const auto v = action.param_as_f64(m.field);
      return holds(v && *v <= m.max);  // false for NaN on either side
    }
    case 5: {
      const auto& m = std::get<cond::ParamMin>(c);
      const auto v = action.param_as_f64(m.field);
      return holds(v && *v >= m.min);
    }
    case 6: {
      const auto& in = std::get<cond::ParamIn>(c);
      const std::string* s = action.param_as_str(in.field);
      return holds(s != nullptr && std::find(in.values.begin(), in.values.end(), *s) != in.values.end());
    }
    case 7: return Holds::AskStore;
    case 8: {
      const std::uint64_t limit = std::get<std::uint64_t>(p);
      // Wall-clock time now, not the evaluation's start: the session keeps ageing.
      const std::int64_t age = whole_seconds_between(ctx.session.started_at, common::Instant::now());
      return holds(age < 0 || static_cast<std::uint64_t>(age) <= limit);
    }
    case 9: {
      const auto& r = std::get<cond::Resource>(c);
      return holds(action.resource.has_value() && pattern_matches(r.pattern, *action.resource));
    }
    default: {
      if (const auto* w = std::get_if<TimeWindow>(&p)) return holds(w->contains(ctx.timestamp));
      const auto& e = std::get<TimeWindowError>(p);
      if (log::enabled()) {
        const std::string& text = std::get<cond::TimeWindow>(c).window;
        if (e.kind == TimeWindowError::Kind::UnknownZone) {
          log::emit(log::Level::Warn, kTarget, kFile, e.display(), {{"window", text}, {"tz", e.zone}});
        } else {
          log::emit(log::Level::Warn, kTarget, kFile, e.display(), {{"window", text}});
        }
      }
      return Holds::No;
    }
  }
}

Verdict PolicyEngine::decide(const CompiledRule* matched, const ActionContext& ctx) const {
  if (matched == nullptr) {
    if (log::enabled()) {
      log::emit(log::Level::Debug, kTarget, kFile, "no matching policy (default deny)",
                {{"action", ctx.action.name}});
    }
    std::string reason = "no policy permits '";
    reason += ctx.action.name;
    reason += "' for principal '";
    reason += ctx.principal.id;
    reason += '\'';
    return refuse(ctx, std::move(reason), RefuseCode::NO_POLICY_MATCH);
  }
  const std::string& name = matched->policy.name;
  if (matched->policy.effect == Effect::Refuse) {
    if (log::enabled()) log::emit(log::Level::Debug, kTarget, kFile, "policy refuses action", {{"policy", name}});
    return refuse(ctx, "denied by policy '" + name + "'", RefuseCode::POLICY_DENIED);
  }
  if (log::enabled()) log::emit(log::Level::Debug, kTarget, kFile, "policy permits action", {{"policy", name}});
  return Permit{PermitToken::mint(ctx.evaluation_id, ctx.action.name)};
}

runtime::Task<Verdict> PolicyEngine::evaluate(const ActionContext& ctx) const {
  const std::int64_t now = common::Instant::now().seconds;

  std::shared_ptr<const CompiledPolicySet> held;
  {
    const auto reader = active_.read();
    if (!reader->has_rate_limit()) {
      // Nothing here can suspend, so the hazard-protected set is read without a reference count.
      const CompiledRule* matched = nullptr;
      for (const CompiledRule& rule : reader->rules()) {
        const auto& conds = rule.policy.conditions;
        std::size_t i = 0;
        while (i < conds.size() && check(conds[i], rule.prepared[i], ctx) == Holds::Yes) ++i;
        if (i == conds.size()) {
          matched = &rule;
          break;
        }
      }
      co_return decide(matched, ctx);
    }
    // The store may suspend (and resume on another thread): keep the set by reference count.
    held = reader.share();
  }

  const RateLimitKey key(ctx.principal.id, ctx.action.name);
  if (auto recorded = co_await rate_store_->record(key.view(), now); !recorded) {
    warn_store("rate-limit store record failed, refusing action", recorded.error(), key.view());
    co_return refuse(ctx, "rate-limit backend unavailable", RefuseCode::POLICY_DENIED);
  }

  const CompiledRule* matched = nullptr;
  for (const CompiledRule& rule : held->rules()) {
    const auto& conds = rule.policy.conditions;
    bool all = true;
    for (std::size_t i = 0; all && i < conds.size(); ++i) {
      Holds h = check(conds[i], rule.prepared[i], ctx);
      if (h == Holds::AskStore) {
        const std::uint64_t window = std::get<std::uint64_t>(rule.prepared[i]);
        auto n = co_await rate_store_->count_in_window(key.view(), now, window);
        if (!n) {
          warn_store("rate-limit store error, failing closed", n.error(), key.view());
          h = Holds::No;
        } else {
          h = *n <= std::get<cond::RateLimit>(conds[i]).max ? Holds::Yes : Holds::No;
        }
      }
      all = h == Holds::Yes;
    }
    if (all) {
      matched = &rule;
      break;
    }
  }
  co_return decide(matched, ctx);
}

}  // namespace ostrel::core
