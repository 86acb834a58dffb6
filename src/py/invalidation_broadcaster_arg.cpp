#include "py/invalidation_broadcaster_arg.hpp"

#include "py/in_memory_invalidation_broadcaster.hpp"

namespace ostrel::py {

std::shared_ptr<core::InvalidationBroadcaster> invalidation_broadcaster_from_py(PyObject* obj) {
  // The handle is set at construction and never replaced, so it is read without a borrow.
  if (bind::is_instance<InMemoryBroadcasterRef>(obj)) {
    return bind::instance<InMemoryBroadcasterRef>(obj)->value.broadcaster;
  }
  return nullptr;
}

}  // namespace ostrel::py
