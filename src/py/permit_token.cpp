#include "py/permit_token.hpp"

#include <string>

#include "py/bind/entry.hpp"

namespace ostrel::py {

namespace {

using core::PermitToken;

constexpr bind::Signature kNew{"PermitToken.__new__()",
                               {bind::required("token_id"), bind::required("evaluation_id"),
                                bind::required("issued_at"), bind::required("expires_at"),
                                bind::required("action_name"), bind::optional("signature")}};

bind::PyResult<PermitToken> construct(bind::ArgsOf<kNew>& a) {
  auto token_id = a.get<std::string>(0);
  if (!token_id) return bind::pending();
  auto evaluation_id = a.get<std::string>(1);
  if (!evaluation_id) return bind::pending();
  auto issued_at = a.get<std::int64_t>(2);
  if (!issued_at) return bind::pending();
  auto expires_at = a.get<std::int64_t>(3);
  if (!expires_at) return bind::pending();
  auto action_name = a.get<std::string>(4);
  if (!action_name) return bind::pending();
  auto signature = a.get<std::optional<std::vector<std::uint8_t>>>(5);
  if (!signature) return bind::pending();

  // Rebuilds a token received over a wire; expiry against the clock is the verifier's business.
  PermitToken t;
  auto tid = common::Uuid::parse(*token_id);
  if (!tid) return bind::raise(bind::ErrorKind::Value, "token_id not a UUID", tid.error());
  auto eid = common::Uuid::parse(*evaluation_id);
  if (!eid) return bind::raise(bind::ErrorKind::Value, "evaluation_id not a UUID", eid.error());
  auto issued = common::Instant::from_unix_seconds(*issued_at);
  if (!issued) return bind::raise(bind::ErrorKind::Value, "issued_at out of range");
  auto expires = common::Instant::from_unix_seconds(*expires_at);
  if (!expires) return bind::raise(bind::ErrorKind::Value, "expires_at out of range");
  t.token_id = *tid;
  t.evaluation_id = *eid;
  t.issued_at = *issued;
  t.expires_at = *expires;
  t.action_name = std::move(*action_name);
  t.signature = std::move(*signature);
  return t;
}

constexpr bind::NoParams kCanonicalBytes{"PermitToken.canonical_bytes()"};

std::vector<std::uint8_t> canonical_bytes(const PermitToken& t) { return t.canonical_bytes(); }

std::string repr_text(const PermitToken& t) {
  std::string out = "PermitToken(token_id=";
  out += t.token_id.to_string();
  out += ", action=";
  out += t.action_name;
  out += t.signature ? ", signed=true)" : ", signed=false)";
  return out;
}

PyMethodDef methods[] = {
    {"canonical_bytes", bind::as_method(&bind::method<PermitToken, kCanonicalBytes, &canonical_bytes>),
     METH_FASTCALL | METH_KEYWORDS,
     "canonical_bytes($self)\n--\n\n"
     "The bytes a token signer signs: token id, evaluation id, issue and expiry seconds "
     "(little-endian), action name."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef properties[] = {
    bind::property("token_id", &bind::field<&PermitToken::token_id>, "Token id, hyphenated lowercase."),
    bind::property("evaluation_id", &bind::field<&PermitToken::evaluation_id>,
                   "Id of the evaluation that produced the token."),
    bind::property("issued_at", &bind::field<&PermitToken::issued_at>, "Issue time, whole Unix seconds."),
    bind::property("expires_at", &bind::field<&PermitToken::expires_at>, "Expiry time, whole Unix seconds."),
    bind::property("action_name", &bind::field<&PermitToken::action_name>, "The permitted action."),
    bind::property("signature", &bind::field<&PermitToken::signature>, "Signature bytes, or None."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

}  // namespace ostrel::py

PyObject* ostrel::py::bind::ClassInfo<ostrel::core::PermitToken>::create_type() {
  return make_class<core::PermitToken>({
      .qualified_name = "builtins.PermitToken",
      .doc = "PermitToken(token_id, evaluation_id, issued_at, expires_at, action_name, signature=None)\n--\n\n"
             "Proof that a gate permitted an action; valid for 30 seconds. The constructor rebuilds "
             "a token from its wire fields without minting a new one.",
      .constructor = &constructor<core::PermitToken, py::kNew, &py::construct>,
      .methods = py::methods,
      .getset = py::properties,
      .repr = &repr<core::PermitToken, &py::repr_text>,
  });
}
