#include "py/verdict.hpp"

#include <string>
#include <type_traits>

#include "py/bind/entry.hpp"
#include "py/permit_token.hpp"

namespace ostrel::py {

namespace {

using core::Verdict;

const core::PermitToken* token_of(const Verdict& v) {
  const auto* permit = std::get_if<core::Permit>(&v);
  return permit != nullptr ? &permit->token : nullptr;
}

std::string_view kind(const Verdict& v) {
  return std::visit(
      [](const auto& alt) -> std::string_view {
        using A = std::decay_t<decltype(alt)>;
        if constexpr (std::is_same_v<A, core::Permit>) {
          return "permit";
        } else if constexpr (std::is_same_v<A, core::Refuse>) {
          return "refuse";
        } else {
          return "invalidate";
        }
      },
      v);
}

std::optional<std::string_view> evaluator(const Verdict& v) {
  if (const auto* r = std::get_if<core::Refuse>(&v)) return r->reason.evaluator;
  if (const auto* i = std::get_if<core::Invalidate>(&v)) return i->scope.evaluator;
  return std::nullopt;
}

std::optional<std::string_view> reason(const Verdict& v) {
  if (const auto* r = std::get_if<core::Refuse>(&v)) return r->reason.reason;
  if (const auto* i = std::get_if<core::Invalidate>(&v)) return i->scope.reason;
  return std::nullopt;
}

std::optional<std::string_view> code(const Verdict& v) {
  if (const auto* r = std::get_if<core::Refuse>(&v)) return core::refuse_code_text(r->reason.code);
  return std::nullopt;
}

std::optional<common::Uuid> token_id(const Verdict& v) {
  if (const auto* t = token_of(v)) return t->token_id;
  return std::nullopt;
}

bool is_permit(const Verdict& v) { return std::holds_alternative<core::Permit>(v); }
bool is_refuse(const Verdict& v) { return std::holds_alternative<core::Refuse>(v); }
bool is_invalidate(const Verdict& v) { return std::holds_alternative<core::Invalidate>(v); }

// A new PermitToken object on every access, so that nothing handed out aliases the snapshot.
std::optional<core::PermitToken> permit_token(const Verdict& v) {
  if (const auto* t = token_of(v)) return *t;
  return std::nullopt;
}

std::optional<std::vector<std::uint8_t>> signature(const Verdict& v) {
  if (const auto* t = token_of(v)) return t->signature;
  return std::nullopt;
}

std::string repr_text(const Verdict& v) {
  std::string out;
  if (const auto* t = token_of(v)) {
    out = "Verdict.Permit(token=";
    out += t->token_id.to_string();
  } else if (const auto* r = std::get_if<core::Refuse>(&v)) {
    out = "Verdict.Refuse(evaluator=";
    out += r->reason.evaluator;
    out += ", reason=";
    out += r->reason.reason;
  } else if (const auto* i = std::get_if<core::Invalidate>(&v)) {
    out = "Verdict.Invalidate(reason=";
    out += i->scope.reason;
  }
  out += ')';
  return out;
}

PyGetSetDef properties[] = {
    bind::property("kind", &bind::computed<Verdict, &kind>, "\"permit\", \"refuse\" or \"invalidate\"."),
    bind::property("evaluator", &bind::computed<Verdict, &evaluator>,
                   "The refusing or invalidating evaluator; None for a permit."),
    bind::property("reason", &bind::computed<Verdict, &reason>,
                   "The refusal or invalidation reason; None for a permit."),
    bind::property("code", &bind::computed<Verdict, &code>, "The refusal code; None unless a refusal."),
    bind::property("token_id", &bind::computed<Verdict, &token_id>,
                   "The permit token's id; None unless a permit."),
    bind::property("is_permit", &bind::computed<Verdict, &is_permit>, "Whether this is a permit."),
    bind::property("is_refuse", &bind::computed<Verdict, &is_refuse>, "Whether this is a refusal."),
    bind::property("is_invalidate", &bind::computed<Verdict, &is_invalidate>,
                   "Whether this is an invalidation."),
    bind::property("permit_token", &bind::computed<Verdict, &permit_token>,
                   "A new PermitToken copying the permit's token on every access; None unless a permit."),
    bind::property("signature", &bind::computed<Verdict, &signature>,
                   "The permit token's signature; None unless a signed permit."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyObject* verdict_to_py(core::Verdict verdict) { return bind::wrap(std::move(verdict)); }

}  // namespace ostrel::py

PyObject* ostrel::py::bind::ClassInfo<ostrel::core::Verdict>::create_type() {
  return make_class<core::Verdict>({
      .qualified_name = "builtins.Verdict",
      .doc = "The answer of a gate: permit (with a permit token), refuse or invalidate.",
      .getset = py::properties,
      .repr = &repr<core::Verdict, &py::repr_text>,
  });
}
