#include "core/action.hpp"

#include <array>
#include <cmath>
#include <utility>

namespace ostrel::core {

namespace {

constexpr std::array<std::pair<PrincipalKind, std::string_view>, 5> kPrincipalKinds{{
    {PrincipalKind::User, "user"},
    {PrincipalKind::Agent, "agent"},
    {PrincipalKind::Service, "service"},
    {PrincipalKind::Scheduler, "scheduler"},
    {PrincipalKind::External, "external"},
}};

}  // namespace

std::string_view principal_kind_text(PrincipalKind kind) {
  for (const auto& [k, text] : kPrincipalKinds) {
    if (k == kind) return text;
  }
  return "user";  // unreachable: every enumerator is in the table
}

std::optional<PrincipalKind> parse_principal_kind(std::string_view text) {
  for (const auto& [k, t] : kPrincipalKinds) {
    if (t == text) return k;
  }
  return std::nullopt;
}

std::optional<double> ActionDescriptor::param_as_f64(std::string_view key) const {
  auto it = params.find(key);
  if (it == params.end()) return std::nullopt;
  return it->second.as_f64();
}

const std::string* ActionDescriptor::param_as_str(std::string_view key) const {
  auto it = params.find(key);
  if (it == params.end()) return nullptr;
  return it->second.as_string();
}

std::optional<double> GeoLocation::distance_km(const GeoLocation& other) const {
  if (!latitude || !longitude || !other.latitude || !other.longitude) return std::nullopt;
  constexpr double k = 0.017453292519943295;  // pi / 180
  constexpr double earth_radius_km = 6371.0;   // mean radius
  const double dlat = (*other.latitude - *latitude) * k;
  const double dlon = (*other.longitude - *longitude) * k;
  const double s_lat = std::sin(dlat / 2);
  const double s_lon = std::sin(dlon / 2);
  const double a = s_lat * s_lat + std::cos(*latitude * k) * std::cos(*other.latitude * k) * s_lon * s_lon;
  const double c = 2 * std::asin(std::sqrt(a));
  return c * earth_radius_km;
}

SessionState SessionState::new_session() {
  SessionState s;
  s.session_id = common::Uuid::new_v4();
  s.started_at = common::Instant::now();
  return s;
}

ActionContext ActionContext::create(Principal principal, ActionDescriptor action, SessionState session,
                                    EnvContext env) {
  ActionContext ctx;
  ctx.principal = std::move(principal);
  ctx.action = std::move(action);
  ctx.session = std::move(session);
  ctx.env = std::move(env);
  ctx.assign_evaluation();
  return ctx;
}

void ActionContext::assign_evaluation() {
  evaluation_id = common::Uuid::new_v4();
  timestamp = common::Instant::now();
}

}  // namespace ostrel::core
