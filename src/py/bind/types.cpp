#include "py/bind/types.hpp"

#include <cstring>
#include <vector>

#include "py/bind/refs.hpp"

namespace ostrel::py::bind {

namespace {

PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*) {
  std::string message = "No constructor defined for ";
  message += type_name(reinterpret_cast<PyObject*>(type));
  raise(ErrorKind::Type, message);
  return nullptr;
}

}  // namespace

std::string type_name(PyObject* obj) {
  // For a type object, the name of the type itself; for anything else, of its type.
  PyTypeObject* type = PyType_Check(obj) ? reinterpret_cast<PyTypeObject*>(obj) : Py_TYPE(obj);
  Ref name = Ref::steal(PyType_GetName(type));
  if (name) {
    Py_ssize_t n = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(name.get(), &n)) return std::string(utf8, n);
  }
  PyErr_Clear();  // only used to word another error; never replace that error with this one
  return "?";
}

PyObject* make_type(const ClassDef& def, std::size_t basicsize, destructor dealloc) {
  if (std::strncmp(def.qualified_name, "builtins.", 9) != 0) {
    raise(ErrorKind::Fault, "class names are registered under builtins");
    return nullptr;
  }
  std::vector<PyType_Slot> slots;
  slots.push_back({Py_tp_doc, const_cast<char*>(def.doc)});
  slots.push_back({Py_tp_dealloc, reinterpret_cast<void*>(dealloc)});
  slots.push_back({Py_tp_new, reinterpret_cast<void*>(def.constructor != nullptr ? def.constructor
                                                                                 : &no_constructor)});
  if (def.methods != nullptr) slots.push_back({Py_tp_methods, def.methods});
  if (def.getset != nullptr) slots.push_back({Py_tp_getset, def.getset});
  if (def.repr != nullptr) slots.push_back({Py_tp_repr, reinterpret_cast<void*>(def.repr)});
  if (def.len != nullptr) slots.push_back({Py_sq_length, reinterpret_cast<void*>(def.len)});
  if (def.traverse != nullptr) slots.push_back({Py_tp_traverse, reinterpret_cast<void*>(def.traverse)});
  if (def.clear != nullptr) slots.push_back({Py_tp_clear, reinterpret_cast<void*>(def.clear)});
  slots.push_back({0, nullptr});

  PyType_Spec type_spec{};
  type_spec.name = def.qualified_name;
  type_spec.basicsize = static_cast<int>(basicsize);
  type_spec.itemsize = 0;
  // No Py_TPFLAGS_BASETYPE: Python code cannot subclass. No dict or weaklist offset: no ad-hoc
  // attributes, no weak references. Not Py_TPFLAGS_IMMUTABLETYPE, which would forbid the rename
  // below.
  type_spec.flags = Py_TPFLAGS_DEFAULT | (def.traverse != nullptr ? Py_TPFLAGS_HAVE_GC : 0);
  type_spec.slots = slots.data();
  Ref type = Ref::steal(PyType_FromSpec(&type_spec));
  if (!type) return nullptr;
  // The "builtins." prefix gives __module__ "builtins"; the type's own name is the bare one, so
  // repr(X) and the interpreter's messages show "X" alone (__qualname__ already is bare).
  Ref bare = Ref::steal(PyUnicode_FromString(def.qualified_name + 9));
  if (!bare || PyObject_SetAttrString(type.get(), "__name__", bare.get()) < 0) return nullptr;
  return type.release();
}

}  // namespace ostrel::py::bind
