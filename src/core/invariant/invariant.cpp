#include "core/invariant/invariant.hpp"

#include <algorithm>
#include <string_view>
#include <type_traits>

#include "core/drift/session_age.hpp"
#include "core/invariant/number_text.hpp"

namespace ostrel::core {
namespace {

bool listed(const std::vector<std::string>& names, std::string_view name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

bool predicate_holds(const Predicate& p, const ActionContext& ctx) {
  if (!p.fn || !*p.fn) return false;
  // The evaluator contract has no failure path, so a throwing check must become a refusal here
  // rather than escape into the gate's chain.
  try {
    return (*p.fn)(ctx);
  } catch (...) {
    return false;
  }
}

}  // namespace

bool Invariant::holds(const ActionContext& ctx) const {
  if (std::holds_alternative<MaxSessionAge>(check)) return holds_at(ctx, common::Instant::now());
  return holds_at(ctx, common::Instant{});
}

bool Invariant::holds_at(const ActionContext& ctx, const common::Instant& now) const {
  return std::visit(
      [&](const auto& c) -> bool {
        using C = std::decay_t<decltype(c)>;
        if constexpr (std::is_same_v<C, ParamAtMost>) {
          const auto v = ctx.action.param_as_f64(c.field);
          return !v || *v <= c.max;
        } else if constexpr (std::is_same_v<C, ParamAtLeast>) {
          const auto v = ctx.action.param_as_f64(c.field);
          return !v || *v >= c.min;
        } else if constexpr (std::is_same_v<C, MaxActionsPerSession>) {
          return ctx.session.action_count <= c.limit;
        } else if constexpr (std::is_same_v<C, MaxSessionAge>) {
          return session_age_secs(ctx.session.started_at, now) <= c.limit_secs;
        } else if constexpr (std::is_same_v<C, ActionAllowList>) {
          return listed(c.names, ctx.action.name);
        } else if constexpr (std::is_same_v<C, ActionBlockList>) {
          return !listed(c.names, ctx.action.name);
        } else {
          static_assert(std::is_same_v<C, Predicate>);
          return predicate_holds(c, ctx);
        }
      },
      check);
}

Invariant Invariant::param_at_most(std::string name, std::string field, double max) {
  std::string description = "parameter '";
  description += field;
  description += "' must be at most ";
  description += plain_number_text(max);
  return Invariant{ParamAtMost{std::move(field), max}, std::move(name), std::move(description)};
}

Invariant Invariant::max_session_actions(std::uint64_t limit) {
  std::string description = "maximum ";
  description += std::to_string(limit);
  description += " actions per session";
  return Invariant{MaxActionsPerSession{limit}, "max_session_actions", std::move(description)};
}

}  // namespace ostrel::core
