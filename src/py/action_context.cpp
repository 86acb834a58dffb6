#include "py/action_context.hpp"

#include <cmath>
#include <optional>
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

template <class T>
bool convert_into(const bind::ArgsOf<kNew>& a, Param i, T& out) {
  auto r = a.get<T>(i);
  if (!r) return false;
  out = std::move(*r);
  return true;
}

// Converts argument i into `out`; false with the error pending. `out` starts as its default,
// so an omitted argument, or None for an optional one, leaves it as it is. Kept apart from
// the conversion so that this test stays small enough to inline: most arguments are omitted.
template <class T>
bool load(const bind::ArgsOf<kNew>& a, Param i, T& out) {
  PyObject* obj = a.raw(i);
  if (obj == nullptr) return true;
  if constexpr (bind::detail::is_optional<T>::value) {
    if (obj == Py_None) return true;
  }
  return convert_into(a, i, out);
}

// Text arguments are copied once, straight from the str's UTF-8 form into their place.
bool load(const bind::ArgsOf<kNew>& a, Param i, std::string& out) {
  auto r = a.get<std::string_view>(i);
  if (!r) return false;
  out.assign(*r);
  return true;
}

bool load(const bind::ArgsOf<kNew>& a, Param i, std::optional<std::string>& out) {
  std::optional<std::string_view> text;
  if (!load(a, i, text)) return false;
  if (text) out.emplace(*text);
  return true;
}

// Puts one parameter; NaN and the infinities have no JSON form and are stored as null. The
// value is built in its node rather than moved there.
void put_param(common::json::Object& out, std::string_view key, double value) {
  auto put = [&](auto v) {
    auto [it, inserted] = out.try_emplace(std::string(key), v);
    // Distinct keys of a dict may have the same text (str subclasses): the last one wins.
    if (!inserted) it->second = common::json::Value(v);
  };
  if (std::isfinite(value)) {
    put(value);
  } else {
    put(nullptr);
  }
}

bind::PyResult<void> convert_params(PyObject* obj, common::json::Object& out) {
  if (!PyDict_CheckExact(obj)) {
    return bind::for_each_dict_item<std::string_view, double>(
        obj, [&](std::string_view k, double v) { put_param(out, k, v); });
  }
  Py_ssize_t pos = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(obj, &pos, &key, &value)) {
    // An exact str key and an exact float or int value convert without running Python code,
    // so the dict cannot change under them; anything else goes the careful way, holding both
    // and checking the dict afterwards.
    if (PyUnicode_CheckExact(key) && (PyFloat_CheckExact(value) || PyLong_CheckExact(value))) {
      auto k = bind::string_view_from_py(key);
      if (!k) return bind::pending();
      auto v = bind::f64_from_py(value);
      if (!v) return bind::pending();
      put_param(out, *k, *v);
      continue;
    }
    const Py_ssize_t size = PyDict_Size(obj);
    bind::Ref hold_key = bind::Ref::borrow(key);
    bind::Ref hold_value = bind::Ref::borrow(value);
    auto k = bind::from_py<std::string_view>(key);
    if (!k) return bind::pending();
    auto v = bind::from_py<double>(value);
    if (!v) return bind::pending();
    if (PyDict_Size(obj) != size) return bind::dict_changed();
    put_param(out, *k, *v);
  }
  return {};
}

bool load_params(const bind::ArgsOf<kNew>& a, common::json::Object& out) {
  PyObject* obj = a.raw(kParams);
  if (obj == nullptr || obj == Py_None) return true;
  auto ok = convert_params(obj, out);
  if (!ok) bind::prefix_argument_error("params");
  return ok.has_value();
}

std::string not_a_timestamp(std::int64_t seconds) {
  std::string message = "session_started_at: ";
  message += std::to_string(seconds);
  message += " is not a valid unix timestamp";
  return message;
}

// Fills the new object's context in place (it is large, and this is the hot path of a host).
bind::PyResult<void> construct(ActionContext& ctx, bind::ArgsOf<kNew>& a) {
  // Every argument is converted, in parameter order, before any of them is interpreted, so a
  // wrong type is always reported as a TypeError first.
  // Texts that are only parsed are read in place; the arguments outlive this call.
  std::string_view kind_text;
  std::optional<std::string_view> ip, session_id, origin_ip;
  std::optional<std::int64_t> started_at;
  std::optional<std::uint64_t> action_count;
  if (!load(a, kPrincipalId, ctx.principal.id) || !load(a, kPrincipalKind, kind_text) ||
      !load(a, kActionName, ctx.action.name)) {
    return bind::pending();
  }
  // roles defaults to an empty list but is not optional: None is refused like any non-list.
  if (a.raw(kRoles) != nullptr && !load(a, kRoles, ctx.principal.roles)) return bind::pending();
  if (!load(a, kResource, ctx.action.resource) || !load_params(a, ctx.action.params) || !load(a, kIp, ip) ||
      !load(a, kSessionId, session_id) || !load(a, kCurrentGeo, ctx.env.current_geo) ||
      !load(a, kOriginGeo, ctx.session.origin_geo) || !load(a, kOriginIp, origin_ip) ||
      !load(a, kDevice, ctx.env.device) || !load(a, kOriginDevice, ctx.session.origin_device) ||
      !load(a, kSessionStartedAt, started_at) || !load(a, kActionCount, action_count)) {
    return bind::pending();
  }

  auto kind = core::parse_principal_kind(kind_text);
  if (!kind) return bind::raise(bind::ErrorKind::Value, "unknown principal kind: " + std::string(kind_text));
  ctx.principal.kind = *kind;

  // A session id that does not parse is replaced by a fresh one rather than refused: the host's
  // session naming is its own business, the gate only needs a stable key for this context.
  std::optional<common::Uuid> parsed_session;
  if (session_id) parsed_session = common::Uuid::try_parse(*session_id);
  ctx.session.session_id = parsed_session ? *parsed_session : common::Uuid::new_v4();

  // The current address also seeds the session's origin; an explicit origin_ip replaces it,
  // and one that does not parse leaves the origin unknown.
  if (ip) ctx.env.ip = common::IpAddr::parse(*ip);
  ctx.session.origin_ip = ctx.env.ip;
  if (origin_ip) ctx.session.origin_ip = common::IpAddr::parse(*origin_ip);

  if (started_at) {
    auto started = common::Instant::from_unix_seconds(*started_at);
    if (!started) return bind::raise(bind::ErrorKind::Value, not_a_timestamp(*started_at));
    ctx.session.started_at = *started;
  }
  if (action_count) ctx.session.action_count = *action_count;

  ctx.assign_evaluation();
  // A session the host did not date starts now, the same instant the context was built.
  if (!started_at) ctx.session.started_at = ctx.timestamp;
  return {};
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
      .constructor = &constructor_in_place<core::ActionContext, py::kNew, &py::construct>,
      .methods = py::methods,
  });
}
