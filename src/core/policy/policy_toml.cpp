// TOML carrier of policy documents. toml++ refuses repeated keys itself, so its own error text
// is the message for those; everything else is the shared schema reader's.
#include <algorithm>
#include <vector>

#include <toml++/toml.h>

#include "core/policy/policy_reader.hpp"
#include "core/policy/policy_set.hpp"
#include "core/policy/source_excerpt.hpp"

namespace ostrel::core {
namespace policy_reader {
namespace {

Pos pos_of(const toml::source_region& r) { return {r.begin.line, r.begin.column}; }

class TomlSource {
 public:
  explicit TomlSource(const toml::node& n) : n_(&n) {}

  NodeType type() const {
    switch (n_->type()) {
      case toml::node_type::table: return NodeType::Map;
      case toml::node_type::array: return NodeType::Sequence;
      case toml::node_type::string: return NodeType::String;
      case toml::node_type::integer: return NodeType::Integer;
      case toml::node_type::floating_point: return NodeType::Float;
      case toml::node_type::boolean: return NodeType::Boolean;
      default: return NodeType::Other;
    }
  }

  std::string describe() const {
    switch (n_->type()) {
      case toml::node_type::table: return "map";
      case toml::node_type::array: return "sequence";
      case toml::node_type::string: return describe_string(n_->as_string()->get());
      case toml::node_type::integer: return describe_integer(n_->as_integer()->get());
      case toml::node_type::floating_point: return describe_float(n_->as_floating_point()->get());
      case toml::node_type::boolean: return n_->as_boolean()->get() ? "boolean `true`" : "boolean `false`";
      case toml::node_type::date: return "date";
      case toml::node_type::time: return "time";
      case toml::node_type::date_time: return "datetime";
      default: return "unknown value";
    }
  }

  Pos position() const { return pos_of(n_->source()); }
  std::string_view string() const { return n_->as_string()->get(); }
  double number() const {
    if (const auto* i = n_->as_integer()) return static_cast<double>(i->get());
    return n_->as_floating_point()->get();
  }
  std::optional<std::uint64_t> non_negative() const {
    const std::int64_t i = n_->as_integer()->get();
    if (i < 0) return std::nullopt;
    return static_cast<std::uint64_t>(i);
  }

  // toml++ keeps a table's keys sorted by name; the walk goes in document order so that the
  // first mistake an operator made is the one reported.
  template <class F>
  Status for_each_member(F&& f) const {
    struct Member {
      const toml::key* key;
      const toml::node* value;
    };
    std::vector<Member> members;
    const toml::table& t = *n_->as_table();
    members.reserve(t.size());
    for (auto&& [k, v] : t) members.push_back({&k, &v});
    std::stable_sort(members.begin(), members.end(), [](const Member& a, const Member& b) {
      const auto& pa = a.key->source().begin;
      const auto& pb = b.key->source().begin;
      return pa.line != pb.line ? pa.line < pb.line : pa.column < pb.column;
    });
    for (const Member& m : members) {
      if (Status st = f(m.key->str(), pos_of(m.key->source()), TomlSource(*m.value)); !st) return st;
    }
    return {};
  }

  template <class F>
  Status for_each_element(F&& f) const {
    for (const toml::node& e : *n_->as_array()) {
      if (Status st = f(TomlSource(e)); !st) return st;
    }
    return {};
  }

 private:
  const toml::node* n_;
};

static_assert(Source<TomlSource>);

}  // namespace
}  // namespace policy_reader

common::Result<PolicySet, PolicyError> PolicySet::from_toml(std::string_view text) {
  toml::table root;
  try {
    root = toml::parse(text);
  } catch (const toml::parse_error& e) {
    const auto& p = e.source().begin;
    return common::fail(PolicyError{PolicyError::Kind::Parse,
                                    frame_with_excerpt(text, e.description(), p.line, p.column), {}});
  }
  auto set = policy_reader::read_policy_set(policy_reader::TomlSource(root));
  if (!set) {
    const auto& e = set.error();
    return common::fail(
        PolicyError{PolicyError::Kind::Parse, frame_with_excerpt(text, e.message, e.line, e.column), {}});
  }
  return std::move(*set);
}

}  // namespace ostrel::core
