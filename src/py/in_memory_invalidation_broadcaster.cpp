#include "py/in_memory_invalidation_broadcaster.hpp"

#include <string>
#include <utility>

#include "py/bind/entry.hpp"
#include "py/blocking.hpp"

namespace ostrel::py {

namespace {

constexpr bind::NoParams kNew{"InMemoryInvalidationBroadcaster.__new__()"};

bind::PyResult<InMemoryBroadcasterRef> construct(bind::ArgsOf<kNew>&) {
  return InMemoryBroadcasterRef{core::InMemoryInvalidationBroadcaster::with_capacity()};
}

constexpr bind::Signature kPublish{"InMemoryInvalidationBroadcaster.publish()",
                                   {bind::required("target_kind"), bind::required("target_id"),
                                    bind::required("reason"), bind::optional("evaluator")}};

bind::PyResult<core::InvalidationTarget> target_of(const std::string& kind, std::string id) {
  if (kind == "session") {
    auto session = common::Uuid::parse(id);
    if (!session) return bind::raise(bind::ErrorKind::Value, "target_id not a UUID", session.error());
    return core::SessionTarget{*session};
  }
  if (kind == "principal") return core::PrincipalTarget{std::move(id)};
  if (kind == "role") return core::RoleTarget{std::move(id)};
  std::string message = "target_kind must be 'session'|'principal'|'role', got '";
  message += kind;
  message += '\'';
  return bind::raise(bind::ErrorKind::Value, message);
}

// Waits on: InvalidationBroadcaster::publish, which completes at once for this class.
bind::PyResult<void> publish(const InMemoryBroadcasterRef& self, bind::ArgsOf<kPublish>& a) {
  auto kind = a.get<std::string>(0);
  if (!kind) return bind::pending();
  auto id = a.get<std::string>(1);
  if (!id) return bind::pending();
  auto reason = a.get<std::string>(2);
  if (!reason) return bind::pending();
  auto evaluator = a.get_or<std::string>(3, "manual");
  if (!evaluator) return bind::pending();
  auto target = target_of(*kind, std::move(*id));
  if (!target) return bind::pending();

  auto published = wait_on_runtime(self.broadcaster->publish(
      core::InvalidationScope{std::move(*target), std::move(*reason), std::move(*evaluator)}));
  if (!published) return bind::pending();
  if (!*published) return bind::raise(bind::ErrorKind::Runtime, "publish", published->error());
  return {};
}

std::uint64_t subscriber_count(const InMemoryBroadcasterRef& self) { return self.broadcaster->subscriber_count(); }

PyMethodDef methods[] = {
    {"publish", bind::as_method(&bind::method<InMemoryBroadcasterRef, kPublish, &publish>),
     METH_FASTCALL | METH_KEYWORDS,
     "publish($self, target_kind, target_id, reason, evaluator=...)\n--\n\n"
     "Delivers an invalidation to every listener that exists now. target_kind is 'session' (target_id "
     "a UUID), 'principal' or 'role'; evaluator defaults to 'manual'."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef properties[] = {
    bind::property("subscriber_count", &bind::computed<InMemoryBroadcasterRef, &subscriber_count>,
                   "Number of live subscriptions (one per running listener)."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

}  // namespace ostrel::py

PyObject* ostrel::py::bind::ClassInfo<ostrel::py::InMemoryBroadcasterRef>::create_type() {
  return make_class<py::InMemoryBroadcasterRef>({
      .qualified_name = "builtins.InMemoryInvalidationBroadcaster",
      .doc = "InMemoryInvalidationBroadcaster()\n--\n\n"
             "Announces invalidations to the listeners of this process (keeping up to 1024 for listeners "
             "that fall behind). Give it to a Gate as `broadcaster` and to spawn_invalidation_listener.",
      .constructor = &constructor<py::InMemoryBroadcasterRef, py::kNew, &py::construct>,
      .methods = py::methods,
      .getset = py::properties,
  });
}
