#include "py/action_context.hpp"

#include <string>
#include <vector>

#include "common/ip.hpp"
#include "common/json/value.hpp"
#include "py/bind/entry.hpp"
#include "py/device_fingerprint.hpp"
#include "py/geo_location.hpp"

namespace ostrel::py {

namespace {

using core::ActionContext;

enum Param : std::size_t {
  kPrincipalId,
  kPrincipalKind,
  kActionName,
  kRoles,
  kResource,
  kParams,
  kIp,
  kSessionId,
  kCurrentGeo,
  kOriginGeo,
  kOriginIp,
  kDevice,
  kOriginDevice,
  kSessionStartedAt,
  kActionCount,
};

constexpr bind::Signature kNew{
    "ActionContext.__new__()",
    {bind::required("principal_id"), bind::required("principal_kind"), bind::required("action_name"),
     bind::optional("roles"), bind::optional("resource"), bind::optional("params"), bind::optional("ip"),
     bind::optional("session_id"), bind::optional("current_geo"), bind::optional("origin_geo"),
     bind::optional("origin_ip"), bind::optional("device"), bind::optional("origin_device"),
     bind::optional("session_started_at"), bind::optional("action_count")}};

// All arguments as converted, before anything is interpreted.
struct Converted {
  std::string principal_id;
  std::string principal_kind;
  std::string action_name;
  std::vector<std::string> roles;
  std::optional<std::string> resource;
  common::json::Object params;
  std::optional<std::string> ip;
  std::optional<std::string> session_id;
  std::optional<core::GeoLocation> current_geo;
  std::optional<core::GeoLocation> origin_geo;
  std::optional<std::string> origin_ip;
  std::optional<core::DeviceFingerprint> device;
  std::optional<core::DeviceFingerprint> origin_device;
  std::optional<std::int64_t> session_started_at;
  std::optional<std::uint64_t> action_count;
};

template <class T>
bool load(const bind::ArgsOf<kNew>& a, Param i, T& out) {
  auto r = a.get<T>(i);
  if (!r) return false;
  out = std::move(*r);
  return true;
}

bind::PyResult<void> load_params(const bind::ArgsOf<kNew>& a, common::json::Object& out) {
  PyObject* obj = a.raw(kParams);
  if (obj == nullptr || obj == Py_None) return {};
  auto ok = bind::for_each_dict_item<std::string, double>(obj, [&](std::string&& k, double v) {
    // NaN and the infinities have no JSON form and are stored as null.
    out.insert_or_assign(std::move(k), common::json::Value::number(v));
  });
  if (!ok) bind::prefix_argument_error("params");
  return ok;
}

std::string not_a_timestamp(std::int64_t seconds) {
  std::string message = "session_started_at: ";
  message += std::to_string(seconds);
  message += " is not a valid unix timestamp";
  return message;
}

bind::PyResult<ActionContext> construct(bind::ArgsOf<kNew>& a) {
  // Every argument is converted, in parameter order, before any of them is interpreted, so a
  // wrong type is always reported as a TypeError first.
  Converted c;
  if (!load(a, kPrincipalId, c.principal_id) || !load(a, kPrincipalKind, c.principal_kind) ||
      !load(a, kActionName, c.action_name)) {
    return bind::pending();
  }
  // roles defaults to an empty list but is not optional: None is refused like any non-list.
  if (auto roles = a.get_or<std::vector<std::string>>(kRoles, {})) {
    c.roles = std::move(*roles);
  } else {
    return bind::pending();
  }
  if (!load(a, kResource, c.resource) || !load_params(a, c.params) || !load(a, kIp, c.ip) ||
      !load(a, kSessionId, c.session_id) || !load(a, kCurrentGeo, c.current_geo) ||
      !load(a, kOriginGeo, c.origin_geo) || !load(a, kOriginIp, c.origin_ip) ||
      !load(a, kDevice, c.device) || !load(a, kOriginDevice, c.origin_device) ||
      !load(a, kSessionStartedAt, c.session_started_at) || !load(a, kActionCount, c.action_count)) {
    return bind::pending();
  }

  auto kind = core::parse_principal_kind(c.principal_kind);
  if (!kind) return bind::raise(bind::ErrorKind::Value, "unknown principal kind: " + c.principal_kind);

  core::Principal principal{std::move(c.principal_id), *kind, std::move(c.roles)};
  core::ActionDescriptor action{std::move(c.action_name), std::move(c.resource), std::move(c.params)};

  core::SessionState session;
  session.started_at = common::Instant::now();
  // A session id that does not parse is replaced by a fresh one rather than refused: the host's
  // session naming is its own business, the gate only needs a stable key for this context.
  std::optional<common::Uuid> session_id;
  if (c.session_id) {
    if (auto parsed = common::Uuid::parse(*c.session_id)) session_id = *parsed;
  }
  session.session_id = session_id ? *session_id : common::Uuid::new_v4();

  core::EnvContext env;
  if (c.ip) env.ip = common::IpAddr::parse(*c.ip);
  session.origin_ip = env.ip;
  if (c.origin_ip) session.origin_ip = common::IpAddr::parse(*c.origin_ip);

  env.current_geo = std::move(c.current_geo);
  env.device = std::move(c.device);
  session.origin_geo = std::move(c.origin_geo);
  session.origin_device = std::move(c.origin_device);

  if (c.session_started_at) {
    auto started = common::Instant::from_unix_seconds(*c.session_started_at);
    if (!started) return bind::raise(bind::ErrorKind::Value, not_a_timestamp(*c.session_started_at));
    session.started_at = *started;
  }
  if (c.action_count) session.action_count = *c.action_count;

  return ActionContext::create(std::move(principal), std::move(action), std::move(session), std::move(env));
}

constexpr bind::Signature kWithParam{"ActionContext.with_param()",
                                     {bind::required("key"), bind::required("value")}};

// The parameter value, by the first rule that applies: a number through the float or int
// protocol (bools included), a str as a string, anything else as its str().
bind::PyResult<common::json::Value> param_value(PyObject* value) {
  if (PyUnicode_Check(value)) {
    auto s = bind::from_py<std::string>(value);
    if (!s) return bind::pending();
    return common::json::Value(std::move(*s));
  }
  double number = PyFloat_AsDouble(value);
  if (number != -1.0 || PyErr_Occurred() == nullptr) return common::json::Value::number(number);
  // Not a number (no __float__ or __index__, or one that failed): fall through to str(). Only
  // ordinary exceptions mean "not a number"; KeyboardInterrupt and the like go to the caller.
  if (!PyErr_ExceptionMatches(PyExc_Exception)) return bind::pending();
  PyErr_Clear();
  bind::Ref text = bind::Ref::steal(PyObject_Str(value));
  if (!text) return bind::pending();
  auto s = bind::from_py<std::string>(text.get());
  if (!s) return bind::pending();
  return common::json::Value(std::move(*s));
}

bind::PyResult<void> with_param(ActionContext& self, bind::ArgsOf<kWithParam>& a) {
  auto key = a.get<std::string>(0);
  if (!key) return bind::pending();
  auto value = param_value(a.raw(1));
  if (!value) return bind::pending();
  self.action.params.insert_or_assign(std::move(*key), std::move(*value));
  return {};
}

PyMethodDef methods[] = {
    {"with_param", bind::as_method(&bind::mutating_method<ActionContext, kWithParam, &with_param>),
     METH_FASTCALL | METH_KEYWORDS,
     "with_param($self, key, value)\n--\n\n"
     "Sets the action parameter `key`: a number when `value` converts to float (bools too), "
     "else a string (str(value) for other objects). Modifies the context in place."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

}  // namespace ostrel::py

PyObject* ostrel::py::bind::ClassInfo<ostrel::core::ActionContext>::create_type() {
  return make_class<core::ActionContext>({
      .qualified_name = "builtins.ActionContext",
      .doc = "ActionContext(principal_id, principal_kind, action_name, roles=..., resource=None, "
             "params=None, ip=None, session_id=None, current_geo=None, origin_geo=None, origin_ip=None, "
             "device=None, origin_device=None, session_started_at=None, action_count=None)\n--\n\n"
             "One attempted action: who acts, what is attempted, in which session, from where. "
             "A fresh evaluation id and the creation time are assigned here.",
      .constructor = &constructor<core::ActionContext, py::kNew, &py::construct>,
      .methods = py::methods,
  });
}
