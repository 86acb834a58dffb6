#include "py/geo_location.hpp"

#include <charconv>
#include <string>

#include "py/bind/entry.hpp"

namespace ostrel::py {

namespace {

using core::GeoLocation;

constexpr bind::Signature kNew{"GeoLocation.__new__()",
                               {bind::required("country_code"), bind::optional("region"),
                                bind::optional("city"), bind::optional("latitude"),
                                bind::optional("longitude")}};

bind::PyResult<GeoLocation> construct(bind::ArgsOf<kNew>& a) {
  auto country_code = a.get<std::string>(0);
  if (!country_code) return bind::pending();
  auto region = a.get<std::optional<std::string>>(1);
  if (!region) return bind::pending();
  auto city = a.get<std::optional<std::string>>(2);
  if (!city) return bind::pending();
  auto latitude = a.get<std::optional<double>>(3);
  if (!latitude) return bind::pending();
  auto longitude = a.get<std::optional<double>>(4);
  if (!longitude) return bind::pending();
  return GeoLocation{std::move(*country_code), std::move(*region), std::move(*city), *latitude, *longitude};
}

constexpr bind::Signature kDistance{"GeoLocation.distance_km()", {bind::required("other")}};

bind::PyResult<std::optional<double>> distance_km(const GeoLocation& self, bind::ArgsOf<kDistance>& a) {
  auto other = a.get<bind::Borrowed<GeoLocation>>(0);
  if (!other) return bind::pending();
  return self.distance_km(**other);
}

void append_fixed4(std::string& out, double v) {
  char buf[400];  // room for the largest double in fixed notation
  auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, 4);
  out.append(buf, r.ptr);
}

// "GeoLocation(US)", "GeoLocation(US/Denver, 39.7392,-104.9903)"; the region is not shown.
std::string repr_text(const GeoLocation& g) {
  std::string out = "GeoLocation(";
  out += g.country_code;
  if (g.city) {
    out += '/';
    out += *g.city;
  }
  if (g.latitude && g.longitude) {
    out += ", ";
    append_fixed4(out, *g.latitude);
    out += ',';
    append_fixed4(out, *g.longitude);
  }
  out += ')';
  return out;
}

PyMethodDef methods[] = {
    {"distance_km", bind::as_method(&bind::method<GeoLocation, kDistance, &distance_km>),
     METH_FASTCALL | METH_KEYWORDS,
     "distance_km($self, other)\n--\n\n"
     "Great-circle distance to another GeoLocation in kilometres, or None when either side "
     "lacks latitude or longitude."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef properties[] = {
    bind::property("country_code", &bind::field<&GeoLocation::country_code>, "Country code."),
    bind::property("region", &bind::field<&GeoLocation::region>, "Region, or None."),
    bind::property("city", &bind::field<&GeoLocation::city>, "City, or None."),
    bind::property("latitude", &bind::field<&GeoLocation::latitude>, "Latitude in degrees, or None."),
    bind::property("longitude", &bind::field<&GeoLocation::longitude>, "Longitude in degrees, or None."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

}  // namespace ostrel::py

PyObject* ostrel::py::bind::ClassInfo<ostrel::core::GeoLocation>::create_type() {
  return make_class<core::GeoLocation>({
      .qualified_name = "builtins.GeoLocation",
      .doc = "GeoLocation(country_code, region=None, city=None, latitude=None, longitude=None)\n--\n\n"
             "Where an action or a session comes from.",
      .constructor = &constructor<core::GeoLocation, py::kNew, &py::construct>,
      .methods = py::methods,
      .getset = py::properties,
      .repr = &repr<core::GeoLocation, &py::repr_text>,
  });
}
