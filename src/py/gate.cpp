#include "py/gate.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "common/utf8.hpp"
#include "core/drift/drift_evaluator.hpp"
#include "core/invariant/invariant_set.hpp"
#include "core/policy/policy_set.hpp"
#include "py/action_context.hpp"
#include "py/bind/entry.hpp"
#include "py/bind/json_value.hpp"
#include "py/blocking.hpp"
#include "py/invalidation_broadcaster_arg.hpp"
#include "py/verdict.hpp"

namespace ostrel::py {

namespace {

// The four constructors share every parameter but the first, the policy document.
enum Param : std::size_t {
  kDocument,
  kInvariants,
  kObserveOnly,
  kMaxSessionActions,
  kEnableDrift,
  kTokenSigner,
  kGeoDriftMaxKm,
  kRateStore,
  kBroadcaster,
};

constexpr bind::Signature<9> constructor_signature(std::string_view function, std::string_view document) {
  return bind::Signature<9>{
      function,
      {bind::required(document), bind::optional("invariants"), bind::optional("observe_only"),
       bind::optional("max_session_actions"), bind::optional("enable_drift"), bind::optional("token_signer"),
       bind::optional("geo_drift_max_km"), bind::optional("rate_store"), bind::optional("broadcaster")}};
}

constexpr auto kNew = constructor_signature("Gate.__new__()", "policy_toml");
constexpr auto kFromDict = constructor_signature("Gate.from_dict()", "policies");
constexpr auto kFromJsonString = constructor_signature("Gate.from_json_string()", "json_string");
constexpr auto kFromJsonFile = constructor_signature("Gate.from_json_file()", "path");

using ConstructorArgs = bind::ArgsOf<kNew>;

// Every keyword, converted before the document is read.
struct Options {
  std::vector<core::ParamLimit> invariants;
  bool observe_only = false;
  std::optional<std::uint64_t> max_session_actions;
  bool enable_drift = true;
  std::optional<double> geo_drift_max_km;
  PyObject* broadcaster = nullptr;  // borrowed from the call; nullptr for None or omitted
};

// token_signer and rate_store name classes this build does not offer: None is the only value
// they accept, anything else is refused the way a wrong class is.
bind::PyResult<void> require_none(const ConstructorArgs& a, Param i, std::string_view param,
                                  std::string_view expected) {
  PyObject* obj = a.raw(i);
  if (obj == nullptr || obj == Py_None) return {};
  bind::wrong_type(obj, expected);
  bind::prefix_argument_error(param);
  return bind::pending();
}

bind::PyResult<Options> load_options(const ConstructorArgs& a) {
  Options o;
  // Not optional: None is a TypeError, as for any value that is not a list.
  auto limits = a.get_or<std::vector<std::tuple<std::string, std::string, double>>>(kInvariants, {});
  if (!limits) return bind::pending();
  o.invariants.reserve(limits->size());
  for (auto& [name, field, max] : *limits) o.invariants.push_back({std::move(name), std::move(field), max});

  auto observe_only = a.get_or<bool>(kObserveOnly, false);
  if (!observe_only) return bind::pending();
  o.observe_only = *observe_only;
  auto max_actions = a.get<std::optional<std::uint64_t>>(kMaxSessionActions);
  if (!max_actions) return bind::pending();
  o.max_session_actions = *max_actions;
  auto enable_drift = a.get_or<bool>(kEnableDrift, true);
  if (!enable_drift) return bind::pending();
  o.enable_drift = *enable_drift;
  if (!require_none(a, kTokenSigner, "token_signer", "PqTokenSigner")) return bind::pending();
  auto geo = a.get<std::optional<double>>(kGeoDriftMaxKm);
  if (!geo) return bind::pending();
  o.geo_drift_max_km = *geo;
  if (!require_none(a, kRateStore, "rate_store", "RedisRateLimitStore")) return bind::pending();
  // Any object at this point; which ones are accepted is checked once the chain is built.
  if (PyObject* b = a.raw(kBroadcaster); b != nullptr && b != Py_None) o.broadcaster = b;
  // Every comparison with NaN is false, so no move would ever exceed it: each change of address
  // would pass as a mere warning. Refused rather than let the geographic check open up.
  if (o.geo_drift_max_km && std::isnan(*o.geo_drift_max_km)) {
    return bind::raise(bind::ErrorKind::Value, "geo_drift_max_km must not be NaN");
  }
  return o;
}

bind::PyResult<GateHandle> assemble(core::PolicySet policies, const Options& o) {
  auto engine = std::make_shared<core::PolicyEngine>(std::move(policies));
  std::vector<std::shared_ptr<core::Evaluator>> chain{engine};
  if (o.enable_drift) chain.push_back(core::make_gate_drift_evaluator(o.geo_drift_max_km));
  if (auto invariants = core::make_gate_invariant_set(o.invariants, o.max_session_actions)) {
    chain.push_back(std::move(invariants));
  }
  core::Gate gate = core::Gate::create(std::move(chain), o.observe_only);
  if (o.broadcaster != nullptr) {
    auto broadcaster = invalidation_broadcaster_from_py(o.broadcaster);
    if (!broadcaster) {
      return bind::raise(
          bind::ErrorKind::Value,
          "broadcaster must be RedisInvalidationBroadcaster or InMemoryInvalidationBroadcaster");
    }
    gate = std::move(gate).with_broadcaster(std::move(broadcaster));
  }
  return GateHandle{std::make_shared<const core::Gate>(std::move(gate)), std::move(engine)};
}

bind::PyResult<core::PolicySet> read_toml(std::string_view text) {
  auto set = core::PolicySet::from_toml(text);
  // The error's own text already reads "policy parse error: {}".
  if (!set) return bind::raise(bind::ErrorKind::Value, set.error().display());
  return std::move(*set);
}

bind::PyResult<core::PolicySet> read_json(std::string_view text) {
  auto set = core::PolicySet::from_json(text);
  if (!set) return bind::raise(bind::ErrorKind::Value, "policy JSON parse error", set.error());
  return std::move(*set);
}

bind::Failed cannot_read(std::string_view path, std::string_view why) {
  std::string message = "cannot read JSON policy file '";
  message += path;
  message += "': ";
  message += why;
  return bind::raise(bind::ErrorKind::Value, message);
}

bind::PyResult<std::string> read_file(const std::string& path) {
  // open() would stop at the first NUL and read another file than the one named.
  if (path.find('\0') != std::string::npos) return cannot_read(path, "path contains a NUL byte");
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return cannot_read(path, std::strerror(errno));
  std::string text;
  char buf[16384];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      const int err = errno;
      ::close(fd);
      return cannot_read(path, std::strerror(err));
    }
    text.append(buf, static_cast<std::size_t>(n));
  }
  ::close(fd);
  if (std::size_t bad = common::first_invalid_utf8(text); bad != text.size()) {
    return cannot_read(path, "stream did not contain valid UTF-8 (byte offset " + std::to_string(bad) + ")");
  }
  return text;
}

// The three text-carried constructors: read the text argument, convert the keywords, then read
// the document, so that a wrong keyword type is reported before a bad document.
template <class Read>
bind::PyResult<GateHandle> build_from_text(const ConstructorArgs& a, Read read) {
  auto text = a.get<std::string>(kDocument);
  if (!text) return bind::pending();
  auto options = load_options(a);
  if (!options) return bind::pending();
  auto set = read(*text);
  if (!set) return bind::pending();
  return assemble(std::move(*set), *options);
}

bind::PyResult<GateHandle> construct(ConstructorArgs& a) { return build_from_text(a, read_toml); }

bind::PyResult<GateHandle> from_json_string(ConstructorArgs& a) { return build_from_text(a, read_json); }

bind::PyResult<GateHandle> from_json_file(ConstructorArgs& a) {
  return build_from_text(a, [](const std::string& path) -> bind::PyResult<core::PolicySet> {
    auto text = read_file(path);
    if (!text) return bind::pending();
    return read_json(*text);
  });
}

bind::PyResult<GateHandle> from_dict(ConstructorArgs& a) {
  auto options = load_options(a);
  if (!options) return bind::pending();
  auto doc = bind::json_from_py(a.raw(kDocument));
  if (!doc) return bind::pending();
  if (!*doc) return bind::raise(bind::ErrorKind::Value, "policy dict parse error", doc->error());
  auto set = core::PolicySet::from_value(**doc);
  if (!set) return bind::raise(bind::ErrorKind::Value, "policy dict parse error", set.error());
  return assemble(std::move(*set), *options);
}

constexpr bind::Signature kEvaluate{"Gate.evaluate()", {bind::required("ctx")}};

// Waits on the shared runtime for the gate's evaluation of a copy of the context; with the
// in-process stores nothing suspends, so the wait runs entirely on this thread.
PyObject* evaluate(const GateHandle& self, bind::ArgsOf<kEvaluate>& a) {
  auto ctx = a.get<core::ActionContext>(0);
  if (!ctx) return nullptr;
  const core::Gate& gate = *self.gate;
  auto verdict =
      wait_on_runtime(gate.observe_only() ? gate.evaluate_observe_only(*ctx) : gate.evaluate(*ctx));
  if (!verdict) return nullptr;
  return verdict_to_py(std::move(*verdict));
}

constexpr bind::Signature kReload{"Gate.reload()", {bind::required("policy_toml")}};

bind::PyResult<void> reload(const GateHandle& self, bind::ArgsOf<kReload>& a) {
  auto text = a.get<std::string>(0);
  if (!text) return bind::pending();
  // Parsed whole before the engine sees it: a bad document leaves the running policies alone.
  auto set = read_toml(*text);
  if (!set) return bind::pending();
  self.engine->reload(std::move(*set));
  return {};
}

std::size_t evaluator_count(const GateHandle& self) { return self.gate->evaluator_count(); }

// The keywords every constructor's text signature ends with.
#define OSTREL_GATE_KEYWORDS                                                                             \
  "invariants=..., observe_only=False, max_session_actions=None, enable_drift=True, token_signer=None, " \
  "geo_drift_max_km=None, rate_store=None, broadcaster=None)"

PyMethodDef methods[] = {
    {"from_dict", bind::as_method(&bind::function<kFromDict, &from_dict>),
     METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "from_dict(policies, " OSTREL_GATE_KEYWORDS "\n--\n\n"
     "A gate whose policy document is Python data: a dict with the key \"policies\" (or \"policy\"), "
     "read with the rules of the JSON form."},
    {"from_json_string", bind::as_method(&bind::function<kFromJsonString, &from_json_string>),
     METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "from_json_string(json_string, " OSTREL_GATE_KEYWORDS
     "\n--\n\nA gate whose policy document is JSON text."},
    {"from_json_file", bind::as_method(&bind::function<kFromJsonFile, &from_json_file>),
     METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "from_json_file(path, " OSTREL_GATE_KEYWORDS
     "\n--\n\nA gate whose policy document is the JSON text of a UTF-8 file."},
    {"evaluate", bind::as_method(&bind::method<GateHandle, kEvaluate, &evaluate>),
     METH_FASTCALL | METH_KEYWORDS,
     "evaluate($self, ctx)\n--\n\n"
     "The verdict on one ActionContext. Every failure inside the chain is a refusal; an "
     "observe-only gate always answers an unsigned permit."},
    {"reload", bind::as_method(&bind::method<GateHandle, kReload, &reload>), METH_FASTCALL | METH_KEYWORDS,
     "reload($self, policy_toml)\n--\n\n"
     "Replaces the policies with those of a TOML document. A document that does not parse raises "
     "ValueError and the running policies stay. Evaluations already running finish with the old ones."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef properties[] = {
    bind::property("evaluator_count", &bind::computed<GateHandle, &evaluator_count>,
                   "Number of evaluators in the chain: policy, then drift and invariants when configured."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

}  // namespace ostrel::py

PyObject* ostrel::py::bind::ClassInfo<ostrel::py::GateHandle>::create_type() {
  return make_class<py::GateHandle>({
      .qualified_name = "builtins.Gate",
      .doc = "Gate(policy_toml, " OSTREL_GATE_KEYWORDS "\n--\n\n"
             "The authorization gate: a policy engine, by default a drift evaluator, and the invariants "
             "asked for, run in that order over each ActionContext. Fails closed.",
      .constructor = &constructor<py::GateHandle, py::kNew, &py::construct>,
      .methods = py::methods,
      .getset = py::properties,
  });
}

#undef OSTREL_GATE_KEYWORDS
