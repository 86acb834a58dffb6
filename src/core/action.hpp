#pragma once
// Everything the gate knows about one attempted action. Evaluators only read it.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.hpp"
#include "common/ip.hpp"
#include "common/json/schema_error.hpp"
#include "common/json/value.hpp"
#include "common/time.hpp"
#include "common/uuid.hpp"

namespace ostrel::core {

enum class PrincipalKind : std::uint8_t { User, Agent, Service, Scheduler, External };

// "user", "agent", "service", "scheduler", "external"
std::string_view principal_kind_text(PrincipalKind kind);
std::optional<PrincipalKind> parse_principal_kind(std::string_view text);  // exact, case-sensitive

struct Principal {
  std::string id;
  PrincipalKind kind = PrincipalKind::User;
  std::vector<std::string> roles;
};

struct ActionDescriptor {
  std::string name;
  std::optional<std::string> resource;
  common::json::Object params;

  // The parameter as a float when it is a JSON number (integers converted).
  std::optional<double> param_as_f64(std::string_view key) const;
  // The parameter when it is a JSON string.
  const std::string* param_as_str(std::string_view key) const;
};

struct GeoLocation {
  std::string country_code;
  std::optional<std::string> region;
  std::optional<std::string> city;
  std::optional<double> latitude;
  std::optional<double> longitude;

  // Great-circle (haversine) distance in km; empty when either side lacks coordinates.
  std::optional<double> distance_km(const GeoLocation& other) const;
  friend bool operator==(const GeoLocation&, const GeoLocation&) = default;
};

struct DeviceFingerprint {
  std::string hash;
  std::optional<std::string> description;
  friend bool operator==(const DeviceFingerprint&, const DeviceFingerprint&) = default;
};

struct SessionState {
  common::Uuid session_id;
  common::Instant started_at;
  std::uint64_t action_count = 0;
  std::vector<std::string> action_history;
  bool invalidated = false;
  std::optional<common::IpAddr> origin_ip;
  std::optional<DeviceFingerprint> origin_device;
  std::optional<GeoLocation> origin_geo;

  // Fresh random id, started now, nothing else set.
  static SessionState new_session();

  // Compact JSON, keys always present, in declared order.
  std::string to_json() const;
  static common::Result<SessionState, common::json::SchemaError> from_json(std::string_view text);

  friend bool operator==(const SessionState&, const SessionState&) = default;
};

struct EnvContext {
  std::optional<common::IpAddr> ip;
  std::optional<GeoLocation> current_geo;
  std::optional<DeviceFingerprint> device;
};

struct ActionContext {
  Principal principal;
  ActionDescriptor action;
  SessionState session;
  EnvContext env;
  common::Uuid evaluation_id;
  common::Instant timestamp;

  // Assigns a fresh evaluation_id and the current time; nothing else is derived.
  static ActionContext create(Principal principal, ActionDescriptor action, SessionState session,
                              EnvContext env);
  // What create() derives, for a context assembled in place: a fresh evaluation_id, timestamp now.
  void assign_evaluation();
};

}  // namespace ostrel::core
