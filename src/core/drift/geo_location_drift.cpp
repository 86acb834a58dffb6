#include "core/drift/geo_location_drift.hpp"

#include <cmath>
#include <string>

#include "core/invariant/number_text.hpp"

namespace ostrel::core {
namespace {

// "{origin} → {current}{ (current geo: CC[/city])}", the tail every reason of this detector ends with.
std::string address_change(const common::IpAddr& origin, const common::IpAddr& current,
                           const std::optional<GeoLocation>& current_geo) {
  std::string out = origin.to_string();
  out += " \u2192 ";
  out += current.to_string();
  if (current_geo) {
    out += " (current geo: ";
    out += current_geo->country_code;
    if (current_geo->city) {
      out += '/';
      out += *current_geo->city;
    }
    out += ')';
  }
  return out;
}

std::string km(double value) { return fixed_number_text(value, 1) + "km"; }

}  // namespace

runtime::Task<DriftSignal> GeoLocationDrift::detect(const ActionContext& ctx) const {
  co_return signal(ctx);
}

DriftSignal GeoLocationDrift::signal(const ActionContext& ctx) const {
  const auto& current = ctx.env.ip;
  const auto& origin = ctx.session.origin_ip;
  if (!current || !origin || *current == *origin) return NoDrift{};

  const std::string change = address_change(*origin, *current, ctx.env.current_geo);
  if (!max_distance_km_) {
    return DriftViolation{std::string(kName), "IP changed mid-session: " + change};
  }
  const double max = *max_distance_km_;

  std::optional<double> distance;
  if (ctx.session.origin_geo && ctx.env.current_geo) {
    distance = ctx.session.origin_geo->distance_km(*ctx.env.current_geo);
  }
  // Coordinates that are NaN or infinite give a NaN distance: as unknown as a missing one.
  if (!distance || std::isnan(*distance)) {
    return DriftViolation{std::string(kName),
                          "IP changed mid-session and geo distance is unverifiable: " + change};
  }
  // Written so that a NaN limit fails closed: only a distance known to be within it is tolerated.
  if (!(*distance <= max)) {
    return DriftViolation{std::string(kName), "IP changed mid-session and moved " + km(*distance) +
                                                  " (> " + km(max) + " threshold): " + change};
  }
  return DriftWarning{std::string(kName), "IP changed mid-session but within " + km(max) +
                                              " threshold (" + km(*distance) + "): " + change};
}

}  // namespace ostrel::core
