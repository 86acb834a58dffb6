#include "core/invariant/invariant_set.hpp"

#include "common/log.hpp"
#include "core/permit_token.hpp"

namespace ostrel::core {
namespace {

constexpr std::string_view kLogTarget = "ostrel_core::invariant";
constexpr std::string_view kLogFile = "core/src/invariant";

}  // namespace

runtime::Task<Verdict> InvariantSet::evaluate(const ActionContext& ctx) const {
  co_return decide_with(ctx, nullptr);
}

Verdict InvariantSet::decide(const ActionContext& ctx, const common::Instant& now) const {
  return decide_with(ctx, &now);
}

// A null `now` means each age check reads the clock itself, at the moment it runs.
Verdict InvariantSet::decide_with(const ActionContext& ctx, const common::Instant* now) const {
  for (const Invariant& inv : invariants_) {
    if (now ? inv.holds_at(ctx, *now) : inv.holds(ctx)) continue;
    common::log::emit(common::log::Level::Error, kLogTarget, kLogFile, "invariant violation",
                      {{"invariant", std::string_view(inv.name)},
                       {"description", std::string_view(inv.description)}});
    std::string reason = "invariant '";
    reason += inv.name;
    reason += "' violated: ";
    reason += inv.description;
    return Refuse{RefuseReason{std::string(kName), std::move(reason), ctx.evaluation_id,
                               RefuseCode::INVARIANT_VIOLATION}};
  }
  return Permit{PermitToken::mint(ctx.evaluation_id, ctx.action.name)};
}

std::vector<Invariant> gate_invariants(std::span<const ParamLimit> limits,
                                       std::optional<std::uint64_t> max_session_actions) {
  std::vector<Invariant> out;
  out.reserve(limits.size() + (max_session_actions ? 1 : 0));
  for (const ParamLimit& l : limits) out.push_back(Invariant::param_at_most(l.name, l.field, l.max));
  if (max_session_actions) out.push_back(Invariant::max_session_actions(*max_session_actions));
  return out;
}

std::shared_ptr<InvariantSet> make_gate_invariant_set(std::span<const ParamLimit> limits,
                                                      std::optional<std::uint64_t> max_session_actions) {
  auto invariants = gate_invariants(limits, max_session_actions);
  if (invariants.empty()) return nullptr;
  return std::make_shared<InvariantSet>(std::move(invariants));
}

}  // namespace ostrel::core
