#include "py/invalidation_scope.hpp"

#include <string>
#include <type_traits>
#include <variant>

#include "py/bind/entry.hpp"

namespace ostrel::py {

namespace {

using core::InvalidationScope;

std::string_view target_kind(const InvalidationScope& s) {
  return std::visit(
      [](const auto& t) -> std::string_view {
        using T = std::decay_t<decltype(t)>;
        if constexpr (std::is_same_v<T, core::SessionTarget>) {
          return "session";
        } else if constexpr (std::is_same_v<T, core::PrincipalTarget>) {
          return "principal";
        } else {
          return "role";
        }
      },
      s.target);
}

std::string target_id(const InvalidationScope& s) {
  if (const auto* session = std::get_if<core::SessionTarget>(&s.target)) return session->session_id.to_string();
  if (const auto* principal = std::get_if<core::PrincipalTarget>(&s.target)) return principal->principal_id;
  return std::get<core::RoleTarget>(s.target).role;
}

std::string repr_text(const InvalidationScope& s) {
  std::string out = "InvalidationScope(target_kind=";
  out += target_kind(s);
  out += ", target_id=";
  out += target_id(s);
  out += ", evaluator=";
  out += s.evaluator;
  out += ')';
  return out;
}

PyGetSetDef properties[] = {
    bind::property("target_kind", &bind::computed<InvalidationScope, &target_kind>,
                   "\"session\", \"principal\" or \"role\"."),
    bind::property("target_id", &bind::computed<InvalidationScope, &target_id>,
                   "The session id (hyphenated lowercase), principal id or role name."),
    bind::property("reason", &bind::field<&InvalidationScope::reason>, "Why the authority was withdrawn."),
    bind::property("evaluator", &bind::field<&InvalidationScope::evaluator>, "Who withdrew it."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

}  // namespace ostrel::py

PyObject* ostrel::py::bind::ClassInfo<ostrel::core::InvalidationScope>::create_type() {
  return make_class<core::InvalidationScope>({
      .qualified_name = "builtins.InvalidationScope",
      .doc = "Whose authority is withdrawn (a session, a principal or a role), why, and by whom. "
             "Passed to invalidation listener callbacks.",
      .getset = py::properties,
      .repr = &repr<core::InvalidationScope, &py::repr_text>,
  });
}
