// The JSON form of a session, as session stores keep it.
#include "common/json/reader.hpp"
#include "common/json/writer.hpp"
#include "core/action.hpp"

namespace ostrel::core {
namespace {

namespace json = common::json;
using common::fail;
using common::Result;
using json::Node;
using json::SchemaError;

constexpr std::string_view kSessionFields[] = {"session_id",  "started_at", "action_count",  "action_history",
                                               "invalidated", "origin_ip",  "origin_device", "origin_geo"};
constexpr json::ObjectSchema kSessionSchema{
    .expecting = "struct SessionState",
    .fields = kSessionFields,
    .required = json::field_bit(0) | json::field_bit(1) | json::field_bit(2),
};

constexpr std::string_view kGeoFields[] = {"country_code", "region", "city", "latitude", "longitude"};
constexpr json::ObjectSchema kGeoSchema{
    .expecting = "struct GeoLocation", .fields = kGeoFields, .required = json::field_bit(0)};

constexpr std::string_view kDeviceFields[] = {"hash", "description"};
constexpr json::ObjectSchema kDeviceSchema{
    .expecting = "struct DeviceFingerprint", .fields = kDeviceFields, .required = json::field_bit(0)};

void write_geo(json::Writer& w, const GeoLocation& g) {
  w.begin_object()
      .key("country_code")
      .string(g.country_code)
      .key("region")
      .optional_string(g.region)
      .key("city")
      .optional_string(g.city)
      .key("latitude")
      .optional_f64(g.latitude)
      .key("longitude")
      .optional_f64(g.longitude)
      .end_object();
}

void write_device(json::Writer& w, const DeviceFingerprint& d) {
  w.begin_object().key("hash").string(d.hash).key("description").optional_string(d.description).end_object();
}

Result<void, SchemaError> read_geo(Node& node, GeoLocation& g) {
  return node.object(kGeoSchema, [&](std::size_t field, Node& v) -> Result<void, SchemaError> {
    switch (field) {
      case 0:
        return json::assign(g.country_code, v.string());
      case 1:
        return json::assign(g.region, v.optional_string());
      case 2:
        return json::assign(g.city, v.optional_string());
      case 3:
        return json::assign(g.latitude, v.optional_f64());
      default:
        return json::assign(g.longitude, v.optional_f64());
    }
  });
}

Result<void, SchemaError> read_device(Node& node, DeviceFingerprint& d) {
  return node.object(kDeviceSchema, [&](std::size_t field, Node& v) -> Result<void, SchemaError> {
    if (field == 0) return json::assign(d.hash, v.string());
    return json::assign(d.description, v.optional_string());
  });
}

// null reads as absent; otherwise `read` fills a fresh value.
template <class T, class Read>
Result<void, SchemaError> read_optional(Node& node, std::optional<T>& out, Read read) {
  auto is_null = node.null();
  if (!is_null) return fail(is_null.error());
  if (*is_null) {
    out.reset();
    return {};
  }
  T value;
  if (auto r = read(node, value); !r) return r;
  out = std::move(value);
  return {};
}

Result<void, SchemaError> read_session_id(Node& v, common::Uuid& out) {
  auto text = v.string_view();
  if (!text) return fail(text.error());
  auto id = common::Uuid::parse(*text);
  if (!id) return fail(v.error(SchemaError::custom("invalid UUID: " + id.error().display())));
  out = *id;
  return {};
}

Result<void, SchemaError> read_instant(Node& v, common::Instant& out) {
  auto text = v.string_view();
  if (!text) return fail(text.error());
  auto t = common::parse_rfc3339(*text);
  if (!t) return fail(v.error(SchemaError::custom(t.error().display())));
  out = *t;
  return {};
}

Result<void, SchemaError> read_ip(Node& v, common::IpAddr& out) {
  auto text = v.string_view();
  if (!text) return fail(text.error());
  auto ip = common::IpAddr::parse(*text);
  if (!ip) return fail(v.error(SchemaError::invalid_value(json::describe_string(*text), "an IP address")));
  out = *ip;
  return {};
}

}  // namespace

std::string SessionState::to_json() const {
  json::Writer w(256);
  w.begin_object()
      .key("session_id")
      .string(session_id.to_string())
      .key("started_at")
      .string(common::format_rfc3339(started_at))
      .key("action_count")
      .u64(action_count)
      .key("action_history")
      .begin_array();
  for (const std::string& name : action_history) w.string(name);
  w.end_array().key("invalidated").boolean(invalidated).key("origin_ip");
  if (origin_ip) {
    w.string(origin_ip->to_string());
  } else {
    w.null();
  }
  w.key("origin_device");
  if (origin_device) {
    write_device(w, *origin_device);
  } else {
    w.null();
  }
  w.key("origin_geo");
  if (origin_geo) {
    write_geo(w, *origin_geo);
  } else {
    w.null();
  }
  w.end_object();
  return std::move(w).take();
}

Result<SessionState, SchemaError> SessionState::from_json(std::string_view text) {
  SessionState s;
  auto r = json::read_document(text, [&](Node& root) {
    return root.object(kSessionSchema, [&](std::size_t field, Node& v) -> Result<void, SchemaError> {
      switch (field) {
        case 0:
          return read_session_id(v, s.session_id);
        case 1:
          return read_instant(v, s.started_at);
        case 2:
          return json::assign(s.action_count, v.u64());
        case 3:
          return v.elements([&](Node& e) -> Result<void, SchemaError> {
            auto name = e.string();
            if (!name) return fail(name.error());
            s.action_history.push_back(std::move(*name));
            return {};
          });
        case 4:
          return json::assign(s.invalidated, v.boolean());
        case 5:
          return read_optional(v, s.origin_ip, read_ip);
        case 6:
          return read_optional(v, s.origin_device, read_device);
        default:
          return read_optional(v, s.origin_geo, read_geo);
      }
    });
  });
  if (!r) return fail(r.error());
  return s;
}

}  // namespace ostrel::core
