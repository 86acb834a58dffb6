// A class whose value holds Python objects takes part in garbage collection.
#include <gtest/gtest.h>

#include "embedded_python.hpp"
#include "py/bind/entry.hpp"
#include "py/bind/types.hpp"

namespace ostrel::py {
namespace {

struct Holder {
  bind::Ref held;
  static inline int alive = 0;
  Holder() { ++alive; }
  Holder(Holder&& o) noexcept : held(std::move(o.held)) { ++alive; }
  ~Holder() { --alive; }
};

constexpr bind::Signature kHolderNew{"Holder.__new__()", {bind::required("held")}};

bind::PyResult<Holder> make_holder(bind::ArgsOf<kHolderNew>& a) {
  auto held = a.get<bind::Ref>(0);
  if (!held) return bind::pending();
  Holder h;
  h.held = std::move(*held);
  return h;
}

int traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(reinterpret_cast<PyObject*>(Py_TYPE(self)));
  Py_VISIT(bind::instance<Holder>(self)->value.held.get());
  return 0;
}

int clear(PyObject* self) {
  bind::instance<Holder>(self)->value.held = bind::Ref();
  return 0;
}

}  // namespace
}  // namespace ostrel::py

template <>
struct ostrel::py::bind::ClassInfo<ostrel::py::Holder> {
  static constexpr std::string_view name = "Holder";
  static PyObject* create_type() {
    return make_class<Holder>({
        .qualified_name = "builtins.Holder",
        .doc = "Holder(held)\n--\n\nHolds one object.",
        .constructor = &constructor<Holder, py::kHolderNew, &py::make_holder>,
        .traverse = &py::traverse,
        .clear = &py::clear,
    });
  }
};

namespace ostrel::py {
namespace {

TEST(GcClass, CyclesThroughTheNativeValueAreCollected) {
  PyObject* type = reinterpret_cast<PyObject*>(bind::type_of<Holder>());
  ASSERT_NE(type, nullptr) << testing::take_error();
  PyDict_SetItemString(testing::globals(), "Holder", type);
  const int before = Holder::alive;
  testing::exec(
      "import gc\n"
      "box = []\n"
      "h = Holder(box)\n"
      "box.append(h)\n"  // h -> box -> h
      "del h, box\n");
  EXPECT_EQ(Holder::alive, before + 1);  // only the cycle keeps it
  testing::exec("gc.collect()\n");
  EXPECT_EQ(Holder::alive, before);
  EXPECT_EQ(testing::eval_str("gc.is_tracked(Holder([]))"), "True");
}

}  // namespace
}  // namespace ostrel::py
