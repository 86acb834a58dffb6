#include "py/device_fingerprint.hpp"

#include <string>

#include "py/bind/entry.hpp"

namespace ostrel::py {

namespace {

using core::DeviceFingerprint;

constexpr bind::Signature kNew{"DeviceFingerprint.__new__()",
                               {bind::required("hash"), bind::optional("description")}};

bind::PyResult<DeviceFingerprint> construct(bind::ArgsOf<kNew>& a) {
  auto hash = a.get<std::string>(0);
  if (!hash) return bind::pending();
  auto description = a.get<std::optional<std::string>>(1);
  if (!description) return bind::pending();
  return DeviceFingerprint{std::move(*hash), std::move(*description)};
}

std::string repr_text(const DeviceFingerprint& d) {
  std::string out = "DeviceFingerprint(hash=";
  out += d.hash;
  if (d.description) {
    out += ", description=";
    out += *d.description;
  }
  out += ')';
  return out;
}

PyGetSetDef properties[] = {
    bind::property("hash", &bind::field<&DeviceFingerprint::hash>, "Stable identifier of the device."),
    bind::property("description", &bind::field<&DeviceFingerprint::description>, "Description, or None."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

}  // namespace ostrel::py

PyObject* ostrel::py::bind::ClassInfo<ostrel::core::DeviceFingerprint>::create_type() {
  return make_class<core::DeviceFingerprint>({
      .qualified_name = "builtins.DeviceFingerprint",
      .doc = "DeviceFingerprint(hash, description=None)\n--\n\nThe device an action or a session comes from.",
      .constructor = &constructor<core::DeviceFingerprint, py::kNew, &py::construct>,
      .getset = py::properties,
      .repr = &repr<core::DeviceFingerprint, &py::repr_text>,
  });
}
