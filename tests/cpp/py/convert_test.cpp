// The conversion table, the argument parser and the exception mapping, driven natively.
#include <gtest/gtest.h>

#include <map>
#include <new>
#include <stdexcept>
#include <tuple>

#include "embedded_python.hpp"
#include "py/bind/args.hpp"
#include "py/bind/convert.hpp"
#include "py/bind/errors.hpp"

namespace ostrel::py {
namespace {

using testing::eval;
using testing::take_error;

// The outcome of converting the value of a Python expression: "ok" or "Type: message".
template <class T>
std::string outcome(std::string_view expr) {
  bind::Ref obj = eval(expr);
  if (!obj) return "eval failed: " + take_error();
  auto r = bind::from_py<T>(obj.get());
  if (r) return "ok";
  return take_error();
}

TEST(Convert, ScalarTable) {
  struct Case {
    std::string expr;
    std::string str, i64, u64, f64, boolean;
  };
  const std::string ok = "ok";
  const Case cases[] = {
      {"'x'", ok, "TypeError: 'str' object cannot be interpreted as an integer",
       "TypeError: 'str' object cannot be interpreted as an integer", "TypeError: must be real number, not str",
       "TypeError: 'str' object cannot be converted to 'bool'"},
      {"True", "TypeError: 'bool' object cannot be converted to 'str'", ok, ok, ok, ok},
      {"None", "TypeError: 'NoneType' object cannot be converted to 'str'",
       "TypeError: 'NoneType' object cannot be interpreted as an integer",
       "TypeError: 'NoneType' object cannot be interpreted as an integer",
       "TypeError: must be real number, not NoneType", "TypeError: 'NoneType' object cannot be converted to 'bool'"},
      {"0", "TypeError: 'int' object cannot be converted to 'str'", ok, ok, ok,
       "TypeError: 'int' object cannot be converted to 'bool'"},
      {"-1", "TypeError: 'int' object cannot be converted to 'str'", ok,
       "OverflowError: can't convert negative int to unsigned", ok,
       "TypeError: 'int' object cannot be converted to 'bool'"},
      {"2**63", "TypeError: 'int' object cannot be converted to 'str'",
       "OverflowError: int too big to convert", ok, ok,
       "TypeError: 'int' object cannot be converted to 'bool'"},
      {"2**64", "TypeError: 'int' object cannot be converted to 'str'",
       "OverflowError: int too big to convert",
       "OverflowError: int too big to convert", ok, "TypeError: 'int' object cannot be converted to 'bool'"},
      {"1.5", "TypeError: 'float' object cannot be converted to 'str'",
       "TypeError: 'float' object cannot be interpreted as an integer",
       "TypeError: 'float' object cannot be interpreted as an integer", ok,
       "TypeError: 'float' object cannot be converted to 'bool'"},
      {"__import__('fractions').Fraction(1, 2)", "TypeError: 'Fraction' object cannot be converted to 'str'",
       "TypeError: 'Fraction' object cannot be interpreted as an integer",
       "TypeError: 'Fraction' object cannot be interpreted as an integer", ok,
       "TypeError: 'Fraction' object cannot be converted to 'bool'"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expr);
    EXPECT_EQ(outcome<std::string>(c.expr), c.str);
    EXPECT_EQ(outcome<std::int64_t>(c.expr), c.i64);
    EXPECT_EQ(outcome<std::uint64_t>(c.expr), c.u64);
    EXPECT_EQ(outcome<double>(c.expr), c.f64);
    EXPECT_EQ(outcome<bool>(c.expr), c.boolean);
  }
}

TEST(Convert, Values) {
  bind::Ref s = eval("'gr\\u00fc\\u00df'");
  EXPECT_EQ(bind::from_py<std::string>(s.get()).value(), "gr\xc3\xbc\xc3\x9f");
  EXPECT_EQ(bind::from_py<std::int64_t>(eval("-2**63").get()).value(), INT64_MIN);
  EXPECT_EQ(bind::from_py<std::uint64_t>(eval("2**64-1").get()).value(), UINT64_MAX);
  EXPECT_EQ(bind::from_py<double>(eval("3").get()).value(), 3.0);
  EXPECT_EQ(bind::from_py<bool>(eval("False").get()).value(), false);
  EXPECT_FALSE(bind::from_py<std::optional<std::string>>(eval("None").get()).value().has_value());
  EXPECT_EQ(bind::from_py<std::optional<std::string>>(eval("'a'").get()).value(), "a");
  // A lone surrogate has no UTF-8 form; the interpreter's own error passes through.
  EXPECT_EQ(outcome<std::string>("'\\ud800'").rfind("UnicodeEncodeError", 0), 0u);
  // A str subclass is a str: its text, or the same error.
  testing::exec("class Text(str):\n    pass\n");
  EXPECT_EQ(bind::from_py<std::string>(eval("Text('gr\\u00fc')").get()).value(), "gr\xc3\xbc");
  EXPECT_EQ(bind::from_py<std::string_view>(eval("Text('')").get()).value(), "");
  EXPECT_EQ(outcome<std::string>("Text('\\ud800')").rfind("UnicodeEncodeError", 0), 0u);
  EXPECT_EQ(outcome<std::string_view>("b'x'"), "TypeError: 'bytes' object cannot be converted to 'str'");
}

// An int converts to the float that float() gives it, also where rounding or overflow decides;
// a subclass's own __float__ is honoured.
TEST(Convert, FloatsFromIntsAsFloatGivesThem) {
  for (const char* expr : {"0", "-7", "2**53 + 1", "-(2**63) - 1", "2**64 + 2**11", "10**308", "True"}) {
    SCOPED_TRACE(expr);
    auto v = bind::from_py<double>(eval(expr).get());
    ASSERT_TRUE(v) << take_error();
    EXPECT_EQ(*v, PyFloat_AsDouble(eval(std::string("float(") + expr + ")").get()));
  }
  EXPECT_EQ(outcome<double>("2**1024"), "OverflowError: int too large to convert to float");
  EXPECT_EQ(outcome<double>("-(2**1024)"), "OverflowError: int too large to convert to float");
  testing::exec(
      "class OwnFloat(int):\n"
      "    def __float__(self):\n"
      "        return 7.5\n");
  EXPECT_EQ(bind::from_py<double>(eval("OwnFloat(1)").get()).value(), 7.5);
}

TEST(Convert, Sequences) {
  using Strings = std::vector<std::string>;
  EXPECT_EQ(bind::from_py<Strings>(eval("['a', 'b', 'a']").get()).value(), (Strings{"a", "b", "a"}));
  EXPECT_EQ(bind::from_py<Strings>(eval("('a',)").get()).value(), (Strings{"a"}));
  EXPECT_EQ(outcome<Strings>("'ab'"), "TypeError: Can't extract `str` to `Vec`");
  EXPECT_EQ(outcome<Strings>("{'a'}"), "TypeError: 'set' object cannot be converted to 'Sequence'");
  EXPECT_EQ(outcome<Strings>("{'a': 1}"), "TypeError: 'dict' object cannot be converted to 'Sequence'");
  EXPECT_EQ(outcome<Strings>("['a', 1]"), "TypeError: 'int' object cannot be converted to 'str'");
  EXPECT_EQ(bind::from_py<Strings>(eval("['gr\\u00fc\\u00df', '', 'x' * 40]").get()).value(),
            (Strings{"gr\xc3\xbc\xc3\x9f", "", std::string(40, 'x')}));
  EXPECT_EQ(outcome<Strings>("['a', '\\ud800']").rfind("UnicodeEncodeError", 0), 0u);

  using Bytes = std::vector<std::uint8_t>;
  EXPECT_EQ(bind::from_py<Bytes>(eval("b'\\x00\\xff'").get()).value(), (Bytes{0, 255}));
  EXPECT_EQ(bind::from_py<Bytes>(eval("bytearray(b'ab')").get()).value(), (Bytes{'a', 'b'}));
  EXPECT_EQ(bind::from_py<Bytes>(eval("[1, 2]").get()).value(), (Bytes{1, 2}));
  EXPECT_EQ(outcome<Bytes>("'ab'"), "TypeError: Can't extract `str` to `Vec`");
  EXPECT_EQ(outcome<Bytes>("[256]"), "OverflowError: byte value out of range 0..=255: 256");
  EXPECT_EQ(outcome<Bytes>("[-1]"), "OverflowError: byte value out of range 0..=255: -1");

  auto secret = bind::from_py<common::SecureBytes>(eval("b'key'").get());
  ASSERT_TRUE(secret);
  EXPECT_EQ(secret->size(), 3u);
  EXPECT_EQ((*secret)[2], 'y');
  auto secret_list = bind::from_py<common::SecureBytes>(eval("[7, 8]").get());
  ASSERT_TRUE(secret_list);
  EXPECT_EQ((*secret_list)[1], 8);
  EXPECT_EQ(outcome<common::SecureBytes>("'key'"), "TypeError: Can't extract `str` to `Vec`");
}

TEST(Convert, SequenceShrinkingWhileConverting) {
  // An item's conversion empties the list; the next read fails cleanly instead of reading freed memory.
  testing::exec(
      "class Shrinker:\n"
      "    def __float__(self):\n"
      "        shrinking.clear()\n"
      "        return 1.0\n"
      "shrinking = [Shrinker(), Shrinker(), Shrinker()]\n");
  EXPECT_EQ(outcome<std::vector<double>>("shrinking").rfind("IndexError", 0), 0u);
}

TEST(Convert, TuplesAndDicts) {
  using Triple = std::tuple<std::string, std::string, double>;
  auto t = bind::from_py<Triple>(eval("('cap', 'amount', 100)").get());
  ASSERT_TRUE(t);
  EXPECT_EQ(*t, Triple("cap", "amount", 100.0));
  EXPECT_EQ(outcome<Triple>("('cap', 'amount')"), "ValueError: expected tuple of length 3, but got tuple of length 2");
  EXPECT_EQ(outcome<Triple>("['cap', 'amount', 1.0]"), "TypeError: 'list' object cannot be converted to 'tuple'");
  EXPECT_EQ(outcome<Triple>("('cap', 1, 1.0)"), "TypeError: 'int' object cannot be converted to 'str'");
  EXPECT_EQ(outcome<std::vector<Triple>>("[('a', 'b', 1.0), ('a', 'b')]"),
            "ValueError: expected tuple of length 3, but got tuple of length 2");

  using Map = std::map<std::string, double>;
  EXPECT_EQ(bind::from_py<Map>(eval("{'a': 1, 'b': 2.5}").get()).value(), (Map{{"a", 1.0}, {"b", 2.5}}));
  EXPECT_EQ(outcome<Map>("[('a', 1.0)]"), "TypeError: 'list' object cannot be converted to 'dict'");
  EXPECT_EQ(outcome<Map>("{1: 1.0}"), "TypeError: 'int' object cannot be converted to 'str'");
  testing::exec(
      "class Grower:\n"
      "    def __float__(self):\n"
      "        growing['new'] = 1.0\n"
      "        return 1.0\n"
      "growing = {'a': Grower()}\n");
  EXPECT_EQ(outcome<Map>("growing"), "RuntimeError: dictionary changed size during iteration");
}

TEST(Convert, ToPython) {
  auto check = [](PyObject* obj, std::string_view expected) {
    bind::Ref owned = bind::Ref::steal(obj);
    ASSERT_TRUE(owned);
    PyDict_SetItemString(testing::globals(), "value", owned.get());
    EXPECT_EQ(testing::eval_str("repr(value)"), expected);
  };
  check(bind::to_py(std::string("a")), "'a'");
  check(bind::to_py(std::string_view("b")), "'b'");
  check(bind::to_py(true), "True");
  check(bind::to_py(std::int64_t{-5}), "-5");
  check(bind::to_py(std::uint64_t{UINT64_MAX}), "18446744073709551615");
  check(bind::to_py(2.5), "2.5");
  check(bind::to_py(std::optional<double>{}), "None");
  check(bind::to_py(std::vector<std::uint8_t>{0, 255}), "b'\\x00\\xff'");
  check(bind::to_py(common::Uuid::parse("67E55044-10B1-426F-9247-BB680E5FE0C8").value()),
        "'67e55044-10b1-426f-9247-bb680e5fe0c8'");
  check(bind::to_py(common::Instant{-1, 999'999'999}), "-1");
}

// A function with every kind of parameter, called through the parser.
constexpr bind::Signature kProbe{"Probe.call()",
                                 {bind::required("a"), bind::required("b"), bind::optional("observe_only"),
                                  bind::keyword_required("k"), bind::keyword_optional("opt")}};

std::string call_probe(std::string_view args_expr, std::string_view kwargs_expr) {
  bind::Ref args = eval(args_expr);
  bind::Ref kwargs = eval(kwargs_expr);
  if (!args || !kwargs) return "eval failed: " + take_error();
  bind::Args<std::remove_cvref_t<decltype(kProbe)>> a(kProbe);
  if (!a.parse(args.get(), kwargs.get() == Py_None ? nullptr : kwargs.get())) return take_error();
  auto flag = a.get_or<bool>(2, false);
  if (!flag) return take_error();
  auto opt = a.get<std::optional<std::int64_t>>(4);
  if (!opt) return take_error();
  return std::string("ok observe_only=") + (*flag ? "true" : "false") +
         " opt=" + (*opt ? std::to_string(**opt) : "none");
}

TEST(Args, MessageForms) {
  const std::pair<std::pair<const char*, const char*>, std::string> cases[] = {
      {{"(1, 2)", "{'k': 0}"}, "ok observe_only=false opt=none"},
      {{"(1, 2, True)", "{'k': 0, 'opt': 4}"}, "ok observe_only=true opt=4"},
      {{"()", "{'a': 1, 'b': 2, 'k': 0, 'opt': None}"}, "ok observe_only=false opt=none"},
      {{"(1, 2)", "{'k': 0, 'observe_only': None}"},
       "TypeError: argument 'observe_only': 'NoneType' object cannot be converted to 'bool'"},
      {{"(1, 2)", "{'k': 0, 'observe_only': 0}"},
       "TypeError: argument 'observe_only': 'int' object cannot be converted to 'bool'"},
      {{"(1, 2)", "{'k': 0, 'opt': 'x'}"},
       "TypeError: argument 'opt': 'str' object cannot be interpreted as an integer"},
      {{"(1, 2)", "{'k': 0, 'opt': 2**63}"}, "OverflowError: int too big to convert"},
      {{"(1, 2)", "None"}, "TypeError: Probe.call() missing 1 required keyword argument: 'k'"},
      {{"(1,)", "None"}, "TypeError: Probe.call() missing 1 required positional argument: 'b'"},
      {{"()", "None"}, "TypeError: Probe.call() missing 2 required positional arguments: 'a' and 'b'"},
      {{"(1, 2, 3, 4)", "{'k': 0}"},
       "TypeError: Probe.call() takes from 2 to 3 positional arguments but 4 were given"},
      {{"(1, 2)", "{'k': 0, 'zzz': 1}"}, "TypeError: Probe.call() got an unexpected keyword argument 'zzz'"},
      {{"(1, 2)", "{'k': 0, 'b': 1}"}, "TypeError: Probe.call() got multiple values for argument 'b'"},
  };
  for (const auto& [call, expected] : cases) {
    EXPECT_EQ(call_probe(call.first, call.second), expected) << call.first << " " << call.second;
  }
}

TEST(Args, ExactPositionalCountAndNoParameters) {
  constexpr bind::Signature kTwo{"two()", {bind::required("x"), bind::required("y")}};
  bind::Ref args = eval("(1,)");
  bind::Args<std::remove_cvref_t<decltype(kTwo)>> two(kTwo);
  bind::Ref three = eval("(1, 2, 3)");
  EXPECT_FALSE(two.parse(three.get(), nullptr));
  EXPECT_EQ(take_error(), "TypeError: two() takes 2 positional arguments but 3 were given");

  constexpr bind::NoParams kNone{"none()"};
  bind::Args<bind::NoParams> none(kNone);
  EXPECT_FALSE(none.parse(args.get(), nullptr));
  EXPECT_EQ(take_error(), "TypeError: none() takes 0 positional arguments but 1 was given");
}

// Keywords are matched whether or not the calling code's str is the interned name: an interned
// literal, a text built at run time, a str subclass, each in every role (placed, repeated, unknown).
TEST(Args, KeywordsMatchWhicheverStrCarriesTheName) {
  testing::exec(
      "class Name(str):\n"
      "    pass\n"
      "def built(text):\n"
      "    return ''.join(list(text))\n");
  const std::pair<std::pair<const char*, const char*>, std::string> cases[] = {
      {{"(1, 2)", "{built('k'): 0, built('opt'): 4}"}, "ok observe_only=false opt=4"},
      {{"(1, 2)", "{Name('k'): 0, Name('observe_only'): True}"}, "ok observe_only=true opt=none"},
      {{"()", "{built('a'): 1, 'b': 2, Name('k'): 0, built('observe_only'): True, 'opt': 3}"},
       "ok observe_only=true opt=3"},
      {{"(1, 2)", "{'k': 0, built('b'): 1}"}, "TypeError: Probe.call() got multiple values for argument 'b'"},
      {{"(1, 2)", "{'k': 0, Name('a'): 1}"}, "TypeError: Probe.call() got multiple values for argument 'a'"},
      {{"(1, 2)", "{built('k'): 0, built('observe_onl'): 1}"},
       "TypeError: Probe.call() got an unexpected keyword argument 'observe_onl'"},
      {{"(1, 2)", "{'k': 0, Name('K'): 1}"},
       "TypeError: Probe.call() got an unexpected keyword argument 'K'"},
      {{"(1, 2)", "{built('opt'): 0}"}, "TypeError: Probe.call() missing 1 required keyword argument: 'k'"},
  };
  for (int round = 0; round < 2; ++round) {  // the second round finds the names already made
    for (const auto& [call, expected] : cases) {
      EXPECT_EQ(call_probe(call.first, call.second), expected) << call.first << " " << call.second;
    }
  }
  // A key without a UTF-8 form reports the interpreter's own error.
  EXPECT_EQ(call_probe("(1, 2)", "{'k': 0, '\\ud800': 1}").rfind("UnicodeEncodeError", 0), 0u);
}

// Signatures declared inside functions may occupy the same address in turn; each call still
// matches its own names only.
std::string call_local(bool first, const char* kwargs_expr) {
  constexpr bind::Signature kFirst{"first()", {bind::optional("alpha"), bind::optional("beta")}};
  constexpr bind::Signature kSecond{"second()", {bind::optional("gamma"), bind::optional("alpha")}};
  bind::Ref kwargs = eval(kwargs_expr);
  if (!kwargs) return "eval failed: " + take_error();
  auto describe = [](const auto& a) {
    std::string out;
    for (std::size_t i = 0; i < 2; ++i) out += a.raw(i) == nullptr ? '-' : 'x';
    return out;
  };
  if (first) {
    bind::Args<std::remove_cvref_t<decltype(kFirst)>> a(kFirst);
    if (!a.parse(nullptr, kwargs.get())) return take_error();
    return describe(a);
  }
  bind::Args<std::remove_cvref_t<decltype(kSecond)>> a(kSecond);
  if (!a.parse(nullptr, kwargs.get())) return take_error();
  return describe(a);
}

TEST(Args, SignaturesDeclaredInFunctionsKeepTheirOwnNames) {
  for (int round = 0; round < 3; ++round) {
    EXPECT_EQ(call_local(true, "{'alpha': 1}"), "x-");
    EXPECT_EQ(call_local(false, "{'alpha': 1}"), "-x");
    EXPECT_EQ(call_local(true, "{'beta': 1}"), "-x");
    EXPECT_EQ(call_local(false, "{'gamma': 1}"), "x-");
    EXPECT_EQ(call_local(true, "{'gamma': 1}"),
              "TypeError: first() got an unexpected keyword argument 'gamma'");
    EXPECT_EQ(call_local(false, "{'beta': 1}"),
              "TypeError: second() got an unexpected keyword argument 'beta'");
  }
}

TEST(Errors, OneMapping) {
  struct Display {
    std::string display() const { return "the native text"; }
  };
  const std::pair<bind::ErrorKind, std::string> table[] = {
      {bind::ErrorKind::Type, "TypeError: ctx: the native text"},
      {bind::ErrorKind::Overflow, "OverflowError: ctx: the native text"},
      {bind::ErrorKind::Value, "ValueError: ctx: the native text"},
      {bind::ErrorKind::Runtime, "RuntimeError: ctx: the native text"},
      {bind::ErrorKind::Fault, "InternalFault: ctx: the native text"},
  };
  for (const auto& [kind, expected] : table) {
    (void)bind::raise(kind, "ctx", Display{});
    EXPECT_EQ(take_error(), expected);
  }
}

TEST(Errors, FaultClassDerivesDirectlyFromBaseException) {
  PyObject* fault = bind::fault_class();
  ASSERT_NE(fault, nullptr);
  EXPECT_EQ(bind::fault_class(), fault);  // once per process
  PyDict_SetItemString(testing::globals(), "Fault", fault);
  EXPECT_EQ(testing::eval_str("Fault.__bases__ == (BaseException,)"), "True");
  EXPECT_EQ(testing::eval_str("issubclass(Fault, Exception)"), "False");
  EXPECT_EQ(testing::eval_str("Fault.__module__ + '.' + Fault.__name__"), "_ostrel_engine.InternalFault");
}

TEST(Errors, NativeExceptionsBecomePythonOnes) {
  try {
    throw std::bad_alloc();
  } catch (...) {
    bind::set_from_current_exception();
  }
  EXPECT_EQ(take_error(), "MemoryError: ");
  try {
    throw std::logic_error("broken invariant");
  } catch (...) {
    bind::set_from_current_exception();
  }
  EXPECT_EQ(take_error(), "InternalFault: unexpected native exception: broken invariant");
}

TEST(Errors, PrefixOnlyForTypeErrorsExactly) {
  PyErr_SetString(PyExc_TypeError, "inner");
  bind::prefix_argument_error("p");
  EXPECT_EQ(take_error(), "TypeError: argument 'p': inner");
  PyErr_SetString(PyExc_OverflowError, "big");
  bind::prefix_argument_error("p");
  EXPECT_EQ(take_error(), "OverflowError: big");
  testing::exec("class MyTypeError(TypeError): pass\n");
  bind::Ref sub = eval("MyTypeError");
  PyErr_SetString(sub.get(), "mine");
  bind::prefix_argument_error("p");
  EXPECT_EQ(take_error(), "MyTypeError: mine");
}

}  // namespace
}  // namespace ostrel::py
