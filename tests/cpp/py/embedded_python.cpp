#include "embedded_python.hpp"

#include <gtest/gtest.h>

#include <cstdlib>

extern "C" PyObject* PyInit__ostrel_engine();

// Under LeakSanitizer: what the embedded interpreter keeps until exit is not ours to free.
extern "C" const char* __lsan_default_suppressions() { return "leak:libpython\n"; }

namespace ostrel::py::testing {

namespace {

PyObject* globals_dict = nullptr;

class Interpreter final : public ::testing::Environment {
 public:
  void SetUp() override {
    ASSERT_EQ(PyImport_AppendInittab("_ostrel_engine", &PyInit__ostrel_engine), 0);
    // With the interpreter's own small-object arenas (mmap'd, unscanned), LeakSanitizer cannot
    // see that a live Python object still owns a native buffer and reports it as leaked; the
    // plain allocator keeps every object visible to it.
    setenv("PYTHONMALLOC", "malloc", /*overwrite=*/0);
    Py_InitializeEx(0);
    globals_dict = PyDict_New();
    ASSERT_NE(globals_dict, nullptr);
    PyDict_SetItemString(globals_dict, "__builtins__", PyEval_GetBuiltins());
    exec("import _ostrel_engine as engine\nfrom _ostrel_engine import *\n");
  }
};

[[maybe_unused]] auto* const registered = ::testing::AddGlobalTestEnvironment(new Interpreter);

bind::Ref run(std::string_view code, int mode) {
  std::string text(code);
  bind::Ref compiled = bind::Ref::steal(Py_CompileString(text.c_str(), "<test>", mode));
  if (!compiled) return {};
  return bind::Ref::steal(PyEval_EvalCode(compiled.get(), globals_dict, globals_dict));
}

std::string text_of(PyObject* obj) {
  bind::Ref s = bind::Ref::steal(PyObject_Str(obj));
  if (!s) {
    PyErr_Clear();
    return "<str failed>";
  }
  Py_ssize_t n = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(s.get(), &n);
  return utf8 != nullptr ? std::string(utf8, n) : "<not utf-8>";
}

}  // namespace

PyObject* globals() { return globals_dict; }

void exec(std::string_view code) {
  if (!run(code, Py_file_input)) ADD_FAILURE() << "raised " << take_error() << "\nin:\n" << code;
}

bind::Ref eval(std::string_view expr) { return run(expr, Py_eval_input); }

std::string eval_str(std::string_view expr) {
  bind::Ref r = eval(expr);
  if (!r) return "<raised " + take_error() + ">";
  return text_of(r.get());
}

std::string take_error() {
  PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
  PyErr_Fetch(&type, &value, &tb);
  if (type == nullptr) return "";
  PyErr_NormalizeException(&type, &value, &tb);
  bind::Ref t = bind::Ref::steal(type), v = bind::Ref::steal(value), b = bind::Ref::steal(tb);
  bind::Ref name = bind::Ref::steal(PyObject_GetAttrString(t.get(), "__name__"));
  std::string out = name ? text_of(name.get()) : "?";
  out += ": ";
  out += v ? text_of(v.get()) : "";
  return out;
}

}  // namespace ostrel::py::testing
