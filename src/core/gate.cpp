#include "core/gate.hpp"

#include <algorithm>
#include <string>
#include <string_view>
#include <utility>

#include "common/log.hpp"
#include "core/invalidation/noop_broadcaster.hpp"

namespace ostrel::core {
namespace {

using common::log::Level;

constexpr std::string_view kLogTarget = "ostrel_core::gate";
constexpr std::string_view kLogFile = "core/src/gate";
constexpr std::string_view kGateName = "gate";

// Event helpers: callers test common::log::enabled() first, so that no field text is built for
// events nobody collects. Verdicts are built here rather than in the coroutine bodies, where GCC
// 12 reports their string members as maybe-uninitialized.

struct UuidText {
  explicit UuidText(const common::Uuid& id) noexcept { id.write_hyphenated(chars); }
  std::string_view view() const noexcept { return {chars, sizeof chars}; }
  char chars[36];
};

void log_started(const ActionContext& ctx) {
  const UuidText id(ctx.evaluation_id);
  common::log::emit(Level::Info, kLogTarget, kLogFile, "gate evaluation started",
                    {{"evaluation_id", id.view()},
                     {"principal", std::string_view(ctx.principal.id)},
                     {"action", std::string_view(ctx.action.name)}});
}

void log_running(const Evaluator& e) {
  common::log::emit(Level::Debug, kLogTarget, kLogFile, "running evaluator",
                    {{"evaluator", e.name()}, {"priority", static_cast<std::uint64_t>(e.priority())}});
}

void log_permits(const Evaluator& e) {
  common::log::emit(Level::Debug, kLogTarget, kLogFile, "evaluator permits", {{"evaluator", e.name()}});
}

void log_refused(const Evaluator& e, const Refuse& r) {
  const std::string reason = r.reason.display();
  common::log::emit(Level::Warn, kLogTarget, kLogFile, "action refused",
                    {{"evaluator", e.name()}, {"reason", std::string_view(reason)}});
}

void log_invalidated(const Evaluator& e, const InvalidationScope& scope) {
  const std::string text = scope.display();
  common::log::emit(Level::Error, kLogTarget, kLogFile, "authority invalidated",
                    {{"evaluator", e.name()}, {"scope", std::string_view(text)}});
}

void log_broadcast_failed(const BroadcastError& error, const InvalidationScope& scope) {
  const std::string error_text = error.display();
  const std::string scope_text = scope.display();
  common::log::emit(Level::Warn, kLogTarget, kLogFile, "invalidation broadcast failed, local verdict unaffected",
                    {{"error", std::string_view(error_text)}, {"scope", std::string_view(scope_text)}});
}

void log_permitted(const ActionContext& ctx) {
  const UuidText id(ctx.evaluation_id);
  common::log::emit(Level::Info, kLogTarget, kLogFile, "all evaluators passed, action permitted",
                    {{"evaluation_id", id.view()}});
}

void log_would_block(const ActionContext& ctx) {
  const UuidText id(ctx.evaluation_id);
  common::log::emit(Level::Info, kLogTarget, kLogFile, "observe-only: would have blocked this action",
                    {{"evaluation_id", id.view()}, {"action", std::string_view(ctx.action.name)}});
}

Verdict session_invalid(const ActionContext& ctx) {
  return Refuse{RefuseReason{std::string(kGateName), "session has been invalidated", ctx.evaluation_id,
                             RefuseCode::SESSION_INVALID}};
}

Verdict fresh_permit(const ActionContext& ctx) { return Permit{PermitToken::mint(ctx.evaluation_id, ctx.action.name)}; }

// A copy for the broadcaster: the verdict returned to the caller keeps its own scope.
InvalidationScope scope_of(const Verdict& v) { return std::get<Invalidate>(v).scope; }

// The end of a chain that permitted: a token, signed when a signer is set. A token that should
// be signed and is not never leaves the gate.
Verdict mint_permit(const ActionContext& ctx, const TokenSigner* signer) {
  PermitToken token = PermitToken::mint(ctx.evaluation_id, ctx.action.name);
  if (signer != nullptr) {
    auto signature = signer->sign(token);
    if (!signature) {
      const std::string error = signature.error().display();
      common::log::emit(Level::Error, kLogTarget, kLogFile, "token signing failed, refusing action (fail-closed)",
                        {{"error", std::string_view(error)}});
      return Refuse{RefuseReason{std::string(kGateName), "token signing failed: " + error, ctx.evaluation_id,
                                 RefuseCode::IDENTITY_FAILED}};
    }
    token.signature = std::move(*signature);
  }
  if (common::log::enabled()) log_permitted(ctx);
  return Permit{std::move(token)};
}

}  // namespace

Gate::Gate(std::vector<std::shared_ptr<Evaluator>> evaluators, bool observe_only,
           std::shared_ptr<InvalidationBroadcaster> broadcaster)
    : evaluators_(std::move(evaluators)), observe_only_(observe_only), broadcaster_(std::move(broadcaster)) {}

Gate Gate::create(std::vector<std::shared_ptr<Evaluator>> evaluators, bool observe_only) {
  std::erase(evaluators, nullptr);
  std::stable_sort(evaluators.begin(), evaluators.end(),
                   [](const auto& a, const auto& b) { return a->priority() < b->priority(); });
  return Gate(std::move(evaluators), observe_only, std::make_shared<NoopInvalidationBroadcaster>());
}

Gate Gate::with_broadcaster(std::shared_ptr<InvalidationBroadcaster> broadcaster) && {
  if (!broadcaster) broadcaster = std::make_shared<NoopInvalidationBroadcaster>();
  broadcaster_ = std::move(broadcaster);
  return std::move(*this);
}

Gate Gate::with_token_signer(std::shared_ptr<TokenSigner> signer) && {
  token_signer_ = std::move(signer);
  return std::move(*this);
}

runtime::Task<Verdict> Gate::evaluate(const ActionContext& ctx) const {
  if (common::log::enabled()) log_started(ctx);
  if (ctx.session.invalidated) co_return session_invalid(ctx);

  for (const std::shared_ptr<Evaluator>& evaluator : evaluators_) {
    if (common::log::enabled()) log_running(*evaluator);
    auto pending = evaluator->evaluate(ctx);
    Verdict verdict = co_await std::move(pending);
    if (std::holds_alternative<Permit>(verdict)) {
      // The evaluator's own token is dropped: only the gate's token proves the whole chain ran.
      if (common::log::enabled()) log_permits(*evaluator);
      continue;
    }
    if (const auto* refuse = std::get_if<Refuse>(&verdict)) {
      if (common::log::enabled()) log_refused(*evaluator, *refuse);
      co_return std::move(verdict);
    }
    if (common::log::enabled()) log_invalidated(*evaluator, std::get<Invalidate>(verdict).scope);
    auto publish = broadcaster_->publish(scope_of(verdict));
    InvalidationBroadcaster::PublishResult published = co_await std::move(publish);
    if (!published && common::log::enabled()) {
      log_broadcast_failed(published.error(), std::get<Invalidate>(verdict).scope);
    }
    co_return std::move(verdict);
  }
  co_return mint_permit(ctx, token_signer_.get());
}

runtime::Task<Verdict> Gate::evaluate_observe_only(const ActionContext& ctx) const {
  auto full = evaluate(ctx);
  const Verdict verdict = co_await std::move(full);
  if (!std::holds_alternative<Permit>(verdict) && common::log::enabled()) log_would_block(ctx);
  // Whatever the chain decided, and even if it signed a token: observing never enforces, and an
  // observe-only token is never signed, so it cannot pass for a real permit elsewhere.
  co_return fresh_permit(ctx);
}

}  // namespace ostrel::core
