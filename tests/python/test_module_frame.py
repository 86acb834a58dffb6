"""The module frame: initialisation, registered names, class conventions, argument messages."""

import importlib
import subprocess
import sys
import textwrap
import weakref

import pytest

import ostrel
from ostrel import _ostrel_engine as engine
from ostrel import ActionContext, DeviceFingerprint, GeoLocation, PermitToken, Verdict

# Every name the module registers, in registration order; classes are added over time, but
# whatever is registered keeps this relative order.
REGISTRATION_ORDER = [
    "Gate",
    "ActionContext",
    "GeoLocation",
    "DeviceFingerprint",
    "Verdict",
    "PermitToken",
    "PqTokenSigner",
    "OstrelKeyPair",
    "PublicKeyBundle",
    "AuditEntry",
    "SignedAuditChain",
    "ManagedAuditChain",
    "SecureChannel",
    "PublicKeyDirectory",
    "DirectoryTokenVerifier",
    "RedisRateLimitStore",
    "RedisSessionStore",
    "InMemorySessionStore",
    "RedisInvalidationBroadcaster",
    "InMemoryInvalidationBroadcaster",
    "InvalidationScope",
    "InvalidationListenerHandle",
    "spawn_invalidation_listener",
]

UUID = "67e55044-10b1-426f-9247-bb680e5fe0c8"


def sample_instances():
    return [
        ActionContext("alice", "agent", "read"),
        GeoLocation("US"),
        DeviceFingerprint("h"),
        PermitToken(UUID, UUID, 0, 30, "read"),
    ]


CLASSES = [ActionContext, GeoLocation, DeviceFingerprint, Verdict, PermitToken]


def test_second_import_returns_the_same_module():
    assert importlib.import_module("ostrel._ostrel_engine") is engine
    # Dropped from sys.modules, the module is initialised again and hands back the same object.
    del sys.modules["ostrel._ostrel_engine"]
    try:
        again = importlib.import_module("ostrel._ostrel_engine")
    finally:
        sys.modules["ostrel._ostrel_engine"] = engine
    assert again is engine


def test_all_lists_registered_names_in_registration_order():
    names = engine.__all__
    assert isinstance(names, list)
    assert len(names) == len(set(names))
    assert set(names) <= set(REGISTRATION_ORDER)
    assert names == [n for n in REGISTRATION_ORDER if n in names]
    assert {"ActionContext", "GeoLocation", "DeviceFingerprint", "Verdict", "PermitToken"} <= set(names)
    for name in names:
        assert getattr(engine, name) is getattr(ostrel, name)
    assert ostrel.__all__ == names


def test_a_second_interpreter_cannot_import_the_module():
    interpreters = pytest.importorskip("_xxsubinterpreters")
    # In a fresh process, so that this test's own interpreter state is not at stake.
    script = textwrap.dedent(
        """
        import _xxsubinterpreters as interpreters
        import ostrel._ostrel_engine
        sub = interpreters.create()
        try:
            interpreters.run_string(sub, "import ostrel._ostrel_engine")
        except interpreters.RunFailedError as e:
            print("refused:", e)
        else:
            print("imported")
        finally:
            interpreters.destroy(sub)
        """
    )
    del interpreters
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.startswith("refused: <class 'ImportError'>: "), out.stdout


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_class_conventions(cls):
    assert cls.__module__ == "builtins"
    assert cls.__qualname__ == cls.__name__
    assert repr(cls) == f"<class '{cls.__name__}'>"
    assert cls.__base__ is object
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    assert "__eq__" not in vars(cls) and "__hash__" not in vars(cls)


@pytest.mark.parametrize("obj", sample_instances(), ids=lambda o: type(o).__name__)
def test_instances_take_no_attributes_and_no_weak_references(obj):
    with pytest.raises(AttributeError):
        obj.anything = 1
    for name in ("country_code", "hash", "token_id", "signature"):
        if hasattr(obj, name):
            with pytest.raises(AttributeError):
                setattr(obj, name, None)
            with pytest.raises(AttributeError):
                delattr(obj, name)
    assert not hasattr(obj, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(obj)
    # Identity semantics: equal fields do not make equal objects.
    assert obj == obj and hash(obj) == hash(obj)


def test_distinct_instances_compare_by_identity():
    a, b = GeoLocation("US"), GeoLocation("US")
    assert a != b


@pytest.mark.parametrize("call", [lambda: Verdict(), lambda: Verdict.__new__(Verdict), lambda: Verdict(1, k=2)])
def test_verdict_has_no_constructor(call):
    with pytest.raises(TypeError) as e:
        call()
    assert str(e.value) == "No constructor defined for Verdict"


def test_text_signatures():
    import inspect

    assert str(inspect.signature(GeoLocation)) == (
        "(country_code, region=None, city=None, latitude=None, longitude=None)"
    )
    assert str(inspect.signature(DeviceFingerprint)) == "(hash, description=None)"
    assert str(inspect.signature(PermitToken)) == (
        "(token_id, evaluation_id, issued_at, expires_at, action_name, signature=None)"
    )
    assert list(inspect.signature(ActionContext).parameters)[:4] == [
        "principal_id",
        "principal_kind",
        "action_name",
        "roles",
    ]
    assert ActionContext.__text_signature__.startswith("(principal_id, principal_kind, action_name, roles=...,")
    assert GeoLocation.distance_km.__text_signature__ == "($self, other)"
    assert ActionContext.with_param.__text_signature__ == "($self, key, value)"
    assert PermitToken.canonical_bytes.__text_signature__ == "($self)"


TOKEN_ARGS = (UUID, UUID, 0, 30, "read")

ARGUMENT_MESSAGES = [
    (
        lambda: GeoLocation(),
        "GeoLocation.__new__() missing 1 required positional argument: 'country_code'",
    ),
    (
        lambda: DeviceFingerprint(description="d"),
        "DeviceFingerprint.__new__() missing 1 required positional argument: 'hash'",
    ),
    (
        lambda: ActionContext("a", principal_kind="user"),
        "ActionContext.__new__() missing 1 required positional argument: 'action_name'",
    ),
    (
        lambda: ActionContext(),
        "ActionContext.__new__() missing 3 required positional arguments: "
        "'principal_id', 'principal_kind' and 'action_name'",
    ),
    (
        lambda: PermitToken(UUID, UUID, 0),
        "PermitToken.__new__() missing 2 required positional arguments: 'expires_at' and 'action_name'",
    ),
    (
        lambda: GeoLocation("US", town="x"),
        "GeoLocation.__new__() got an unexpected keyword argument 'town'",
    ),
    (
        lambda: GeoLocation("US", country_code="CA"),
        "GeoLocation.__new__() got multiple values for argument 'country_code'",
    ),
    (
        lambda: GeoLocation("US", "a", "b", 1.0, 2.0, 3.0),
        "GeoLocation.__new__() takes from 1 to 5 positional arguments but 6 were given",
    ),
    (
        lambda: ActionContext("a", "user", "x").with_param("k", 1, 2),
        "ActionContext.with_param() takes 2 positional arguments but 3 were given",
    ),
    (
        lambda: ActionContext("a", "user", "x").with_param("k"),
        "ActionContext.with_param() missing 1 required positional argument: 'value'",
    ),
    (
        lambda: ActionContext("a", "user", "x").with_param(key="k", val=1),
        "ActionContext.with_param() got an unexpected keyword argument 'val'",
    ),
    (
        lambda: PermitToken(*TOKEN_ARGS).canonical_bytes(1),
        "PermitToken.canonical_bytes() takes 0 positional arguments but 1 was given",
    ),
    (
        lambda: GeoLocation("US").distance_km(),
        "GeoLocation.distance_km() missing 1 required positional argument: 'other'",
    ),
    # Conversion failures name the parameter.
    (
        lambda: GeoLocation(1),
        "argument 'country_code': 'int' object cannot be converted to 'str'",
    ),
    (
        lambda: ActionContext("a", "user", "x", roles=None),
        "argument 'roles': 'NoneType' object cannot be converted to 'Sequence'",
    ),
    (
        lambda: ActionContext("a", "user", "x", roles="admin"),
        "argument 'roles': Can't extract `str` to `Vec`",
    ),
    (
        lambda: ActionContext("a", "user", "x", roles=["ok", 3]),
        "argument 'roles': 'int' object cannot be converted to 'str'",
    ),
    (
        lambda: PermitToken(*TOKEN_ARGS, signature="sig"),
        "argument 'signature': Can't extract `str` to `Vec`",
    ),
    (
        lambda: GeoLocation("US").distance_km("US"),
        "argument 'other': 'str' object cannot be converted to 'GeoLocation'",
    ),
    (
        lambda: ActionContext("a", "user", "x", device=GeoLocation("US")),
        "argument 'device': 'GeoLocation' object cannot be converted to 'DeviceFingerprint'",
    ),
    (
        lambda: ActionContext("a", "user", "x", params=[("a", 1.0)]),
        "argument 'params': 'list' object cannot be converted to 'dict'",
    ),
]


@pytest.mark.parametrize("call,message", ARGUMENT_MESSAGES, ids=[m for _, m in ARGUMENT_MESSAGES])
def test_argument_messages(call, message):
    with pytest.raises(TypeError) as e:
        call()
    assert type(e.value) is TypeError
    assert str(e.value) == message


def test_type_errors_from_the_interpreter_get_the_prefix_too():
    with pytest.raises(TypeError) as e:
        GeoLocation("US", latitude="1.5")
    assert str(e.value).startswith("argument 'latitude': ")
    assert isinstance(e.value.__cause__, TypeError)
    with pytest.raises(TypeError) as e:
        PermitToken(UUID, UUID, 1.5, 30, "read")
    assert str(e.value).startswith("argument 'issued_at': ")


@pytest.mark.parametrize(
    "call",
    [
        lambda: ActionContext("a", "user", "x", action_count=-1),
        lambda: ActionContext("a", "user", "x", action_count=2**64),
        lambda: ActionContext("a", "user", "x", session_started_at=2**63),
        lambda: PermitToken(UUID, UUID, -(2**63) - 1, 30, "read"),
        lambda: PermitToken(*TOKEN_ARGS, signature=[1, 256]),
    ],
)
def test_integer_range_errors_pass_through_without_prefix(call):
    with pytest.raises(OverflowError) as e:
        call()
    assert not str(e.value).startswith("argument")


def test_other_exceptions_from_conversion_pass_through_unchanged():
    class Bad:
        def __float__(self):
            raise KeyError("boom")

    with pytest.raises(KeyError):
        GeoLocation("US", latitude=Bad())

    class BadIndex:
        def __index__(self):
            raise ZeroDivisionError

    with pytest.raises(ZeroDivisionError):
        ActionContext("a", "user", "x", action_count=BadIndex())


def test_fault_class_is_not_an_exception():
    # The fault class is reachable only through a fault; its contract is checked natively.
    assert "InternalFault" not in engine.__all__
