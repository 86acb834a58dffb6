#pragma once
// Python class Gate: builds the evaluator chain from a policy document and keywords, evaluates
// ActionContexts into Verdicts, and swaps the policies of a running gate.
#include <Python.h>

#include <memory>
#include <string_view>

#include "core/gate.hpp"
#include "core/policy/policy_engine.hpp"
#include "py/bind/types.hpp"

namespace ostrel::py {

// What a Python Gate holds: the native gate, shared with evaluations in progress, and the policy
// engine inside its chain, kept so that reload can reach it.
struct GateHandle {
  std::shared_ptr<const core::Gate> gate;
  std::shared_ptr<core::PolicyEngine> engine;
};

}  // namespace ostrel::py

namespace ostrel::py::bind {
template <>
struct ClassInfo<py::GateHandle> {
  static constexpr std::string_view name = "Gate";
  static PyObject* create_type();
};
}  // namespace ostrel::py::bind
