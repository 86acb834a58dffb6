// The JSON form of an invalidation scope, the message replicas exchange.
#include "common/json/reader.hpp"
#include "common/json/writer.hpp"
#include "core/invalidation_scope.hpp"

namespace ostrel::core {
namespace {

namespace json = common::json;
using common::fail;
using common::Result;
using json::Node;
using json::SchemaError;

constexpr std::string_view kScopeFields[] = {"target", "reason", "evaluator"};
constexpr json::ObjectSchema kScopeSchema{
    .expecting = "struct InvalidationScope",
    .fields = kScopeFields,
    .required = json::field_bit(0) | json::field_bit(1) | json::field_bit(2),
};

constexpr std::string_view kTargetVariants[] = {"session", "principal", "role"};

Result<void, SchemaError> read_target(Node& node, InvalidationTarget& out) {
  return node.variant(
      kTargetVariants,
      [&](std::size_t variant, Node& v) -> Result<void, SchemaError> {
        if (variant == 0) {
          auto text = v.string_view();
          if (!text) return fail(text.error());
          auto id = common::Uuid::parse(*text);
          if (!id) return fail(v.error(SchemaError::custom("invalid UUID: " + id.error().display())));
          out = SessionTarget{*id};
          return {};
        }
        auto name = v.string();
        if (!name) return fail(name.error());
        if (variant == 1) {
          out = PrincipalTarget{std::move(*name)};
        } else {
          out = RoleTarget{std::move(*name)};
        }
        return {};
      },
      "enum InvalidationTarget");
}

}  // namespace

std::string InvalidationScope::to_json() const {
  json::Writer w(128);
  w.begin_object().key("target").begin_object();
  std::visit(
      [&w](const auto& t) {
        using T = std::decay_t<decltype(t)>;
        if constexpr (std::is_same_v<T, SessionTarget>) {
          w.key("session").string(t.session_id.to_string());
        } else if constexpr (std::is_same_v<T, PrincipalTarget>) {
          w.key("principal").string(t.principal_id);
        } else {
          w.key("role").string(t.role);
        }
      },
      target);
  w.end_object().key("reason").string(reason).key("evaluator").string(evaluator).end_object();
  return std::move(w).take();
}

Result<InvalidationScope, SchemaError> InvalidationScope::from_json(std::string_view text) {
  InvalidationScope scope;
  auto r = json::read_document(text, [&](Node& root) {
    return root.object(kScopeSchema, [&](std::size_t field, Node& v) -> Result<void, SchemaError> {
      switch (field) {
        case 0:
          return read_target(v, scope.target);
        case 1:
          return json::assign(scope.reason, v.string());
        default:
          return json::assign(scope.evaluator, v.string());
      }
    });
  });
  if (!r) return fail(r.error());
  return scope;
}

}  // namespace ostrel::core
