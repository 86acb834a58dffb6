#pragma once
// An interpreter embedded in the test program, with _ostrel_engine importable as a built-in
// module. Tests run on the main thread, which holds the interpreter lock throughout.
#include <Python.h>

#include <string>
#include <string_view>

#include "py/bind/refs.hpp"

namespace ostrel::py::testing {

// The namespace scripts run in; the module's names are in it, and `engine` is the module.
PyObject* globals();

// Runs statements; fails the test (and clears the error) if they raise.
void exec(std::string_view code);
// Evaluates an expression; nullptr with the Python error left pending if it raises.
bind::Ref eval(std::string_view expr);
// str(eval(expr)), or "<raised TypeName: message>" when it raises (the error is cleared).
std::string eval_str(std::string_view expr);
// "TypeName: message" of the pending error, which is cleared; "" when none is pending.
std::string take_error();

}  // namespace ostrel::py::testing
