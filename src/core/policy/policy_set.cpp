#include "core/policy/policy_set.hpp"

#include <utility>

#include "common/json/reader.hpp"
#include "core/policy/policy_reader.hpp"

namespace ostrel::core {

std::string_view effect_text(Effect effect) { return effect == Effect::Permit ? "permit" : "refuse"; }

std::string_view condition_kind_name(const Condition& condition) {
  return policy_reader::kConditionKinds[condition.index()];
}

common::Result<PolicySet, common::json::SchemaError> PolicySet::from_json(std::string_view text) {
  PolicySet out;
  auto r = common::json::read_document(text, [&](common::json::Node& root) -> policy_reader::Status {
    return policy_reader::store(out, policy_reader::read_policy_set(root));
  });
  if (!r) return common::fail(std::move(r.error()));
  return out;
}

common::Result<PolicySet, common::json::SchemaError> PolicySet::from_value(const common::json::Value& doc) {
  PolicySet out;
  auto r = common::json::read_document_from_value(doc, [&](common::json::Node& root) -> policy_reader::Status {
    return policy_reader::store(out, policy_reader::read_policy_set(root));
  });
  if (!r) return common::fail(std::move(r.error()));
  return out;
}

}  // namespace ostrel::core
