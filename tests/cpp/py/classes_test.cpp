// The classes' native side: what an ActionContext built from Python holds, the Verdict
// conversion Gate.evaluate uses, and the borrow guard.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>

#include "embedded_python.hpp"
#include "py/action_context.hpp"
#include "py/bind/borrow.hpp"
#include "py/bind/convert.hpp"
#include "py/geo_location.hpp"
#include "py/verdict.hpp"

namespace ostrel::py {
namespace {

using testing::eval;
using testing::eval_str;
using testing::exec;

const core::ActionContext& context_of(const bind::Ref& obj) {
  EXPECT_TRUE(bind::is_instance<core::ActionContext>(obj.get()));
  return bind::instance<core::ActionContext>(obj.get())->value;
}

bind::Ref context(std::string_view expr) {
  bind::Ref obj = eval(expr);
  EXPECT_TRUE(obj) << testing::take_error();
  return obj;
}

TEST(ActionContextFromPython, EveryArgumentLandsInItsField) {
  bind::Ref obj = context(
      "ActionContext('alice', 'scheduler', 'transfer', roles=('b', 'a', 'b'), resource='acct:1', "
      "params={'amount': 12.5, 'count': 3, 'bad': float('nan'), 'inf': float('-inf')}, ip='10.0.0.1', "
      "session_id='{67E55044-10B1-426F-9247-BB680E5FE0C8}', "
      "current_geo=GeoLocation('US', 'CO', 'Denver', 39.7, -104.9), origin_geo=GeoLocation('CA'), "
      "device=DeviceFingerprint('d1'), origin_device=DeviceFingerprint('d0', 'laptop'), "
      "session_started_at=-1, action_count=2**64 - 1)");
  const auto& c = context_of(obj);
  EXPECT_EQ(c.principal.id, "alice");
  EXPECT_EQ(c.principal.kind, core::PrincipalKind::Scheduler);
  EXPECT_EQ(c.principal.roles, (std::vector<std::string>{"b", "a", "b"}));
  EXPECT_EQ(c.action.name, "transfer");
  EXPECT_EQ(c.action.resource, "acct:1");
  EXPECT_EQ(c.action.param_as_f64("amount"), 12.5);
  EXPECT_EQ(c.action.param_as_f64("count"), 3.0);
  ASSERT_EQ(c.action.params.count("bad"), 1u);
  EXPECT_TRUE(c.action.params.at("bad").is_null());
  EXPECT_TRUE(c.action.params.at("inf").is_null());
  EXPECT_FALSE(c.action.param_as_f64("bad").has_value());
  EXPECT_EQ(c.env.ip->to_string(), "10.0.0.1");
  EXPECT_EQ(c.session.origin_ip, c.env.ip);
  EXPECT_EQ(c.session.session_id.to_string(), "67e55044-10b1-426f-9247-bb680e5fe0c8");
  EXPECT_EQ(c.env.current_geo, (core::GeoLocation{"US", "CO", "Denver", 39.7, -104.9}));
  EXPECT_EQ(c.session.origin_geo, (core::GeoLocation{"CA", {}, {}, {}, {}}));
  EXPECT_EQ(c.env.device, (core::DeviceFingerprint{"d1", {}}));
  EXPECT_EQ(c.session.origin_device, (core::DeviceFingerprint{"d0", "laptop"}));
  EXPECT_EQ(c.session.started_at, (common::Instant{-1, 0}));
  EXPECT_EQ(c.session.action_count, UINT64_MAX);
  EXPECT_TRUE(c.session.action_history.empty());
  EXPECT_FALSE(c.session.invalidated);
  EXPECT_EQ(c.evaluation_id.bytes[6] >> 4, 4);
}

TEST(ActionContextFromPython, Defaults) {
  const auto before = common::Instant::now();
  bind::Ref a = context("ActionContext('p', 'user', 'read')");
  bind::Ref b = context("ActionContext('p', 'user', 'read')");
  const auto after = common::Instant::now();
  const auto& c = context_of(a);
  EXPECT_TRUE(c.principal.roles.empty());
  EXPECT_FALSE(c.action.resource.has_value());
  EXPECT_TRUE(c.action.params.empty());
  EXPECT_FALSE(c.env.ip || c.env.current_geo || c.env.device);
  EXPECT_FALSE(c.session.origin_ip || c.session.origin_geo || c.session.origin_device);
  EXPECT_EQ(c.session.action_count, 0u);
  EXPECT_LE(before, c.session.started_at);
  EXPECT_LE(c.session.started_at, c.timestamp);
  EXPECT_LE(c.timestamp, after);
  EXPECT_NE(c.session.session_id, context_of(b).session.session_id);
  EXPECT_NE(c.evaluation_id, context_of(b).evaluation_id);
  EXPECT_NE(c.evaluation_id, c.session.session_id);
}

TEST(ActionContextFromPython, AddressesAndOrigins) {
  struct Case {
    const char* args;
    const char* ip;
    const char* origin_ip;
  };
  const Case cases[] = {
      {"ip='10.0.0.1'", "10.0.0.1", "10.0.0.1"},
      {"ip='10.0.0.1', origin_ip='not an address'", "10.0.0.1", ""},
      {"ip='10.0.0.1', origin_ip='192.168.1.1'", "10.0.0.1", "192.168.1.1"},
      {"ip='bogus', origin_ip='::1'", "", "::1"},
      {"ip='2001:DB8:0:0:0:0:0:1'", "2001:db8::1", "2001:db8::1"},
      {"origin_ip='10.0.0.2'", "", "10.0.0.2"},
      {"ip=None, origin_ip=None", "", ""},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.args);
    bind::Ref obj = context(std::string("ActionContext('p', 'user', 'read', ") + k.args + ")");
    const auto& c = context_of(obj);
    EXPECT_EQ(c.env.ip ? c.env.ip->to_string() : "", k.ip);
    EXPECT_EQ(c.session.origin_ip ? c.session.origin_ip->to_string() : "", k.origin_ip);
  }
}

// params as the native map: each kind of key and value, exact or not, by the direct and the
// careful way alike; the refusals name the parameter.
TEST(ActionContextFromPython, ParamsOfEveryKind) {
  exec(
      "class Key(str):\n"
      "    pass\n"
      "class Distinct(str):\n"
      "    def __hash__(self):\n"
      "        return id(self)\n"
      "    def __eq__(self, other):\n"
      "        return self is other\n"
      "class Number(float):\n"
      "    pass\n"
      "class Params(dict):\n"
      "    pass\n"
      "class Growing:\n"
      "    def __float__(self):\n"
      "        growing['later'] = 1.0\n"
      "        return 2.0\n"
      "growing = {'a': 1.0, 'b': Growing()}\n");
  struct Case {
    const char* params;
    const char* expected;  // "key=value ..." in key order, null as "null"; or the error
  };
  const Case cases[] = {
      {"{}", ""},
      {"{'b': 2.5, 'a': -1, 'c': 2**53 + 1}", "a=-1 b=2.5 c=9007199254740992"},
      {"{'n': float('nan'), 'i': float('inf'), 'm': -float('inf'), 'z': -0.0}", "i=null m=null n=null z=-0"},
      {"{Key('k'): 1.5, 'j': Number(0.25), 'b': True, 'f': __import__('fractions').Fraction(1, 4)}",
       "b=1 f=0.25 j=0.25 k=1.5"},
      // Distinct keys with the same text: the last one in the dict's order wins.
      {"{Distinct('same'): 1.0, 'same': 2.0}", "same=2"},
      {"{'same': 2.0, Distinct('same'): 1.0}", "same=1"},
      {"Params(x=3, y=4.5)", "x=3 y=4.5"},
      {"{'\\u00fc': 1}", "\xc3\xbc=1"},
      {"{'a': 1, 'b': 'x'}", "TypeError: argument 'params': must be real number, not str"},
      {"{'a': 1, 2: 1.0}", "TypeError: argument 'params': 'int' object cannot be converted to 'str'"},
      {"{'a': 2**1024}", "OverflowError: int too large to convert to float"},
      {"{'\\ud800': 1.0}", "UnicodeEncodeError"},
      {"growing", "RuntimeError: dictionary changed size during iteration"},
      {"[('a', 1.0)]", "TypeError: argument 'params': 'list' object cannot be converted to 'dict'"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.params);
    bind::Ref obj = eval(std::string("ActionContext('p', 'user', 'read', params=") + k.params + ")");
    std::string got;
    if (!obj) {
      got = testing::take_error();
      if (got.rfind("UnicodeEncodeError", 0) == 0) got = "UnicodeEncodeError";
    } else {
      for (const auto& [key, value] : context_of(obj).action.params) {
        if (!got.empty()) got += ' ';
        got += key + "=";
        if (value.is_null()) {
          got += "null";
        } else {
          char buf[32];
          std::snprintf(buf, sizeof buf, "%.17g", *value.as_f64());
          got += buf;
        }
      }
    }
    EXPECT_EQ(got, k.expected);
  }
}

TEST(ActionContextFromPython, UnparsableSessionIdGetsAFreshOne) {
  bind::Ref a = context("ActionContext('p', 'user', 'read', session_id='not-a-uuid')");
  bind::Ref b = context("ActionContext('p', 'user', 'read', session_id='not-a-uuid')");
  EXPECT_NE(context_of(a).session.session_id, context_of(b).session.session_id);
  EXPECT_EQ(context_of(a).session.session_id.bytes[6] >> 4, 4);
}

TEST(ActionContextFromPython, WithParamRules) {
  bind::Ref obj = context("ActionContext('p', 'user', 'read', params={'limit': 1})");
  PyDict_SetItemString(testing::globals(), "ctx", obj.get());
  const auto id = context_of(obj).evaluation_id;
  exec(
      "ctx.with_param('limit', 5)\n"
      "ctx.with_param('text', '5')\n"
      "ctx.with_param('yes', True)\n"
      "ctx.with_param('no', False)\n"
      "ctx.with_param('nan', float('nan'))\n"
      "ctx.with_param('none', None)\n"
      "ctx.with_param('list', [1, 2])\n"
      "ctx.with_param('huge', 10**400)\n"
      "class Indexable:\n"
      "    def __index__(self): return 7\n"
      "ctx.with_param('index', Indexable())\n");
  const auto& p = context_of(obj).action;
  EXPECT_EQ(p.param_as_f64("limit"), 5.0);
  EXPECT_EQ(p.param_as_str("limit"), nullptr);
  EXPECT_FALSE(p.param_as_f64("text").has_value());
  ASSERT_NE(p.param_as_str("text"), nullptr);
  EXPECT_EQ(*p.param_as_str("text"), "5");
  EXPECT_EQ(p.param_as_f64("yes"), 1.0);
  EXPECT_EQ(p.param_as_f64("no"), 0.0);
  EXPECT_TRUE(p.params.at("nan").is_null());
  EXPECT_EQ(*p.param_as_str("none"), "None");
  EXPECT_EQ(*p.param_as_str("list"), "[1, 2]");
  EXPECT_EQ(p.param_as_str("huge")->size(), 401u);
  EXPECT_EQ(p.param_as_f64("index"), 7.0);
  EXPECT_EQ(context_of(obj).evaluation_id, id);

  exec(
      "class Unprintable:\n"
      "    def __str__(self): raise LookupError('no')\n"
      "try:\n"
      "    ctx.with_param('limit', Unprintable())\n"
      "except LookupError:\n"
      "    pass\n");
  EXPECT_EQ(context_of(obj).action.param_as_f64("limit"), 5.0);  // nothing stored
}

TEST(ActionContextFromPython, CopiesAreIndependentOfTheObject) {
  bind::Ref obj = context("ActionContext('p', 'user', 'read')");
  auto copy = bind::from_py<core::ActionContext>(obj.get());
  ASSERT_TRUE(copy);
  PyDict_SetItemString(testing::globals(), "ctx", obj.get());
  exec("ctx.with_param('k', 1)\n");
  EXPECT_TRUE(copy->action.params.empty());
  EXPECT_EQ(copy->evaluation_id, context_of(obj).evaluation_id);
}

core::PermitToken sample_token(bool signed_token) {
  core::PermitToken t = core::PermitToken::mint(common::Uuid::new_v4(), "transfer");
  if (signed_token) t.signature = std::vector<std::uint8_t>{1, 2, 3};
  return t;
}

TEST(VerdictToPython, EveryAlternative) {
  const auto permit_token = sample_token(true);
  const auto unsigned_token = sample_token(false);
  const auto tid = permit_token.token_id.to_string();
  struct Case {
    core::Verdict verdict;
    std::vector<std::pair<const char*, std::string>> expected;
  };
  const Case cases[] = {
      {core::Permit{permit_token},
       {{"v.kind", "permit"},
        {"v.evaluator", "None"},
        {"v.reason", "None"},
        {"v.code", "None"},
        {"v.token_id", tid},
        {"(v.is_permit, v.is_refuse, v.is_invalidate)", "(True, False, False)"},
        {"v.signature", "b'\\x01\\x02\\x03'"},
        {"v.permit_token.token_id == v.token_id", "True"},
        {"v.permit_token.expires_at - v.permit_token.issued_at", "30"},
        {"v.permit_token.signature", "b'\\x01\\x02\\x03'"},
        {"repr(v)", "Verdict.Permit(token=" + tid + ")"}}},
      {core::Permit{unsigned_token},
       {{"v.signature", "None"}, {"v.permit_token.signature", "None"}, {"v.is_permit", "True"}}},
      {core::Refuse{{"policy", "denied by rule r1", common::Uuid::new_v4(), core::RefuseCode::POLICY_DENIED}},
       {{"v.kind", "refuse"},
        {"v.evaluator", "policy"},
        {"v.reason", "denied by rule r1"},
        {"v.code", "POLICY_DENIED"},
        {"v.token_id", "None"},
        {"(v.is_permit, v.is_refuse, v.is_invalidate)", "(False, True, False)"},
        {"v.permit_token", "None"},
        {"v.signature", "None"},
        {"repr(v)", "Verdict.Refuse(evaluator=policy, reason=denied by rule r1)"}}},
      {core::Invalidate{{core::PrincipalTarget{"bob"}, "too fast", "drift"}},
       {{"v.kind", "invalidate"},
        {"v.evaluator", "drift"},
        {"v.reason", "too fast"},
        {"v.code", "None"},
        {"v.token_id", "None"},
        {"(v.is_permit, v.is_refuse, v.is_invalidate)", "(False, False, True)"},
        {"v.permit_token", "None"},
        {"v.signature", "None"},
        {"repr(v)", "Verdict.Invalidate(reason=too fast)"}}},
  };
  for (const Case& c : cases) {
    bind::Ref v = bind::Ref::steal(verdict_to_py(c.verdict));
    ASSERT_TRUE(v) << testing::take_error();
    PyDict_SetItemString(testing::globals(), "v", v.get());
    EXPECT_EQ(eval_str("type(v) is Verdict"), "True");
    for (const auto& [expr, text] : c.expected) EXPECT_EQ(eval_str(expr), text) << expr;
  }
}

TEST(VerdictToPython, PermitTokenIsANewObjectOnEveryAccess) {
  bind::Ref v = bind::Ref::steal(verdict_to_py(core::Permit{sample_token(true)}));
  PyDict_SetItemString(testing::globals(), "v", v.get());
  EXPECT_EQ(eval_str("v.permit_token is not v.permit_token"), "True");
  EXPECT_EQ(eval_str("v.permit_token.canonical_bytes() == v.permit_token.canonical_bytes()"), "True");
  EXPECT_EQ(eval_str("[getattr(v.permit_token, f) == getattr(v.permit_token, f) for f in "
                     "('token_id', 'evaluation_id', 'issued_at', 'expires_at', 'action_name', 'signature')]"),
            "[True, True, True, True, True, True]");
}

TEST(VerdictToPython, MintedTokenRebuiltFromItsPropertiesSignsTheSameBytes) {
  // issued_at carries nanoseconds here; only whole seconds enter the canonical bytes.
  auto token = sample_token(false);
  token.issued_at.nanos = 987'654'321;
  token.expires_at.nanos = 987'654'321;
  bind::Ref v = bind::Ref::steal(verdict_to_py(core::Permit{token}));
  PyDict_SetItemString(testing::globals(), "v", v.get());
  EXPECT_EQ(eval_str("(lambda t: PermitToken(t.token_id, t.evaluation_id, t.issued_at, t.expires_at, "
                     "t.action_name).canonical_bytes() == t.canonical_bytes())(v.permit_token)"),
            "True");
}

TEST(Borrow, ConflictsAreRefusedWithTheirMessages) {
  bind::Ref geo = eval("GeoLocation('US', latitude=1, longitude=2)");
  bind::Ref ctx = context("ActionContext('p', 'user', 'read')");
  PyDict_SetItemString(testing::globals(), "geo", geo.get());
  PyDict_SetItemString(testing::globals(), "ctx", ctx.get());
  {
    auto held = bind::ExclusiveBorrow::acquire(bind::instance<core::GeoLocation>(geo.get())->borrow);
    ASSERT_TRUE(held);
    EXPECT_EQ(eval_str("geo.country_code"), "<raised RuntimeError: Already mutably borrowed>");
    EXPECT_EQ(eval_str("repr(geo)"), "<raised RuntimeError: Already mutably borrowed>");
    EXPECT_EQ(eval_str("GeoLocation('X').distance_km(geo)"), "<raised RuntimeError: Already mutably borrowed>");
    EXPECT_EQ(eval_str("ActionContext('p', 'user', 'x', current_geo=geo)"),
              "<raised RuntimeError: Already mutably borrowed>");
  }
  EXPECT_EQ(eval_str("geo.country_code"), "US");
  {
    auto reader = bind::SharedBorrow::acquire(bind::instance<core::ActionContext>(ctx.get())->borrow);
    ASSERT_TRUE(reader);
    EXPECT_EQ(eval_str("ctx.with_param('k', 1)"), "<raised RuntimeError: Already borrowed>");
    auto second = bind::SharedBorrow::acquire(bind::instance<core::ActionContext>(ctx.get())->borrow);
    EXPECT_TRUE(second);  // readers share
  }
  EXPECT_EQ(eval_str("ctx.with_param('k', 1)"), "None");
}

TEST(Borrow, ReentrantReadDuringAMutationIsRefused) {
  bind::Ref ctx = context("ActionContext('p', 'user', 'read')");
  PyDict_SetItemString(testing::globals(), "ctx", ctx.get());
  exec(
      "seen = []\n"
      "class Peek:\n"
      "    def __str__(self):\n"
      "        try:\n"
      "            ActionContext('q', 'user', 'x', current_geo=None).with_param('k', 1)\n"
      "            GeoLocation('US').distance_km(GeoLocation('US'))\n"
      "            engine_copy(ctx)\n"
      "        except RuntimeError as e:\n"
      "            seen.append(str(e))\n"
      "        return 'peek'\n");
  // engine_copy reads the context the way Gate.evaluate will (a copy under a shared borrow).
  static PyMethodDef copy_def = {
      "engine_copy",
      [](PyObject*, PyObject* arg) -> PyObject* {
        auto copy = bind::from_py<core::ActionContext>(arg);
        if (!copy) return nullptr;
        return bind::none();
      },
      METH_O, nullptr};
  bind::Ref fn = bind::Ref::steal(PyCFunction_New(&copy_def, nullptr));
  PyDict_SetItemString(testing::globals(), "engine_copy", fn.get());
  exec("ctx.with_param('k', Peek())\n");
  EXPECT_EQ(eval_str("seen"), "['Already mutably borrowed']");
}

}  // namespace
}  // namespace ostrel::py
