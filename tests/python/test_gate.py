"""The Gate as a host uses it: construction and its failures, the assembled chain, evaluation, reload."""

import inspect
import math
import threading
import time
import uuid

import pytest

from ostrel import ActionContext, DeviceFingerprint, Gate, GeoLocation, PermitToken, Verdict

PERMIT_ALL = """
[[policy]]
name = "all"
effect = "permit"
conditions = []
"""

REFUSE_ALL = """
[[policy]]
name = "nothing"
effect = "refuse"
conditions = []
"""


def ctx(action="transfer", **kwargs):
    return ActionContext("alice", "agent", action, **kwargs)


def error_of(exc_type, build):
    with pytest.raises(exc_type) as e:
        build()
    assert type(e.value) is exc_type
    return str(e.value)


class TestClass:
    def test_conventions(self):
        assert Gate.__module__ == "builtins"
        assert repr(Gate) == "<class 'Gate'>"
        with pytest.raises(TypeError):
            type("MyGate", (Gate,), {})
        g = Gate("")
        with pytest.raises(AttributeError):
            g.evaluator_count = 5
        with pytest.raises(AttributeError):
            g.extra = 1

    def test_text_signatures(self):
        keywords = (
            "invariants=..., observe_only=False, max_session_actions=None, enable_drift=True, "
            "token_signer=None, geo_drift_max_km=None, rate_store=None, broadcaster=None)"
        )
        assert Gate.__text_signature__ == "(policy_toml, " + keywords
        assert Gate.from_dict.__text_signature__ == "(policies, " + keywords
        assert Gate.from_json_string.__text_signature__ == "(json_string, " + keywords
        assert Gate.from_json_file.__text_signature__ == "(path, " + keywords
        assert Gate.evaluate.__text_signature__ == "($self, ctx)"
        assert Gate.reload.__text_signature__ == "($self, policy_toml)"
        # Static methods, callable on the class without an instance.
        assert isinstance(inspect.getattr_static(Gate, "from_dict"), staticmethod)

    def test_every_keyword_positionally(self):
        g = Gate(PERMIT_ALL, [("cap", "amount", 10.0)], False, 5, True, None, 50.0, None, None)
        assert g.evaluator_count == 3
        g = Gate.from_dict({"policies": []}, [], True, None, False, None, None, None, None)
        assert g.evaluator_count == 1


CHAINS = [
    (dict(), 2),
    (dict(enable_drift=False), 1),
    (dict(enable_drift=False, max_session_actions=10), 2),
    (dict(enable_drift=False, invariants=[("cap", "amount", 1.0)]), 2),
    (dict(invariants=[("cap", "amount", 1.0)], max_session_actions=0), 3),
    (dict(invariants=[]), 2),
    (dict(geo_drift_max_km=10.0, enable_drift=False), 1),
]


@pytest.mark.parametrize("kwargs,count", CHAINS, ids=[str(k) for k, _ in CHAINS])
def test_evaluator_count_follows_the_keywords(kwargs, count):
    assert Gate("", **kwargs).evaluator_count == count
    assert Gate.from_json_string("{}", **kwargs).evaluator_count == count


ARGUMENT_ERRORS = [
    (TypeError, lambda: Gate(), "Gate.__new__() missing 1 required positional argument: 'policy_toml'"),
    (TypeError, lambda: Gate.from_dict(), "Gate.from_dict() missing 1 required positional argument: 'policies'"),
    (TypeError, lambda: Gate.from_json_file(), "Gate.from_json_file() missing 1 required positional argument: 'path'"),
    (
        TypeError,
        lambda: Gate("", [], False, None, True, None, None, None, None, 1),
        "Gate.__new__() takes from 1 to 9 positional arguments but 10 were given",
    ),
    (TypeError, lambda: Gate("", drift=False), "Gate.__new__() got an unexpected keyword argument 'drift'"),
    (
        TypeError,
        lambda: Gate.from_json_string("{}", json_string="{}"),
        "Gate.from_json_string() got multiple values for argument 'json_string'",
    ),
    (TypeError, lambda: Gate(1), "argument 'policy_toml': 'int' object cannot be converted to 'str'"),
    (TypeError, lambda: Gate.from_json_file(b"p.json"), "argument 'path': 'bytes' object cannot be converted to 'str'"),
    (
        TypeError,
        lambda: Gate("", invariants=None),
        "argument 'invariants': 'NoneType' object cannot be converted to 'Sequence'",
    ),
    (TypeError, lambda: Gate("", invariants="cap"), "argument 'invariants': Can't extract `str` to `Vec`"),
    (
        TypeError,
        lambda: Gate("", invariants=[["cap", "amount", 1.0]]),
        "argument 'invariants': 'list' object cannot be converted to 'tuple'",
    ),
    (TypeError, lambda: Gate("", invariants=[(1, "amount", 1.0)]), "argument 'invariants': 'int' object cannot be "
     "converted to 'str'"),
    (
        ValueError,
        lambda: Gate("", invariants=[("cap", "amount")]),
        "expected tuple of length 3, but got tuple of length 2",
    ),
    (
        ValueError,
        lambda: Gate.from_dict({}, invariants=[("cap", "amount", 1.0, 2.0)]),
        "expected tuple of length 3, but got tuple of length 4",
    ),
    (
        TypeError,
        lambda: Gate("", observe_only=None),
        "argument 'observe_only': 'NoneType' object cannot be converted to 'bool'",
    ),
    (TypeError, lambda: Gate("", enable_drift=1), "argument 'enable_drift': 'int' object cannot be converted to 'bool'"),
    (
        TypeError,
        lambda: Gate("", token_signer="signer"),
        "argument 'token_signer': 'str' object cannot be converted to 'PqTokenSigner'",
    ),
    (
        TypeError,
        lambda: Gate.from_dict({}, rate_store=object()),
        "argument 'rate_store': 'object' object cannot be converted to 'RedisRateLimitStore'",
    ),
]


@pytest.mark.parametrize("exc,build,message", ARGUMENT_ERRORS, ids=[m for _, _, m in ARGUMENT_ERRORS])
def test_argument_errors(exc, build, message):
    assert error_of(exc, build) == message


def test_interpreter_conversion_errors_name_the_parameter():
    assert error_of(TypeError, lambda: Gate("", geo_drift_max_km="5")).startswith("argument 'geo_drift_max_km': ")
    assert error_of(TypeError, lambda: Gate("", invariants=[("c", "a", "1")])).startswith("argument 'invariants': ")
    assert error_of(TypeError, lambda: Gate("", max_session_actions=1.5)).startswith("argument 'max_session_actions': ")


@pytest.mark.parametrize("value", [-1, 2**64])
def test_out_of_range_session_limits_are_overflow_errors_without_prefix(value):
    assert not error_of(OverflowError, lambda: Gate("", max_session_actions=value)).startswith("argument")


class TestFailureOrder:
    def test_keyword_types_come_before_the_document(self):
        assert error_of(TypeError, lambda: Gate("not = [toml", observe_only="yes")).startswith("argument 'observe_only'")
        assert error_of(TypeError, lambda: Gate.from_dict({"x": 1}, enable_drift=None)).startswith(
            "argument 'enable_drift'"
        )
        assert error_of(TypeError, lambda: Gate.from_json_file("/nonexistent", token_signer=1)).startswith(
            "argument 'token_signer'"
        )

    def test_the_document_comes_before_the_broadcaster(self):
        assert error_of(ValueError, lambda: Gate("x = 1", broadcaster="redis://")).startswith("policy parse error: ")
        assert error_of(ValueError, lambda: Gate.from_dict({"x": 1}, broadcaster=1)).startswith(
            "policy dict parse error: "
        )

    @pytest.mark.parametrize("broadcaster", ["redis://localhost", 1, object(), Gate("")])
    def test_other_objects_are_refused_as_broadcasters(self, broadcaster):
        for build in (Gate, Gate.from_json_string):
            assert error_of(ValueError, lambda: build("{}" if build is not Gate else "", broadcaster=broadcaster)) == (
                "broadcaster must be RedisInvalidationBroadcaster or InMemoryInvalidationBroadcaster"
            )

    def test_none_for_every_collaborator_is_the_plain_gate(self):
        g = Gate(REFUSE_ALL, token_signer=None, rate_store=None, broadcaster=None)
        assert g.evaluator_count == 2
        assert g.evaluate(ctx()).reason == "denied by policy 'nothing'"


class TestJsonFile:
    def test_a_file_reads_like_its_text(self, tmp_path):
        path = tmp_path / "policy.json"
        path.write_text('{"policies": [{"name": "all", "effect": "permit", "conditions": []}]}', encoding="utf-8")
        assert Gate.from_json_file(str(path), enable_drift=False).evaluate(ctx()).is_permit

    def test_schema_errors_in_a_file_are_json_errors(self, tmp_path):
        path = tmp_path / "policy.json"
        path.write_text('{\n  "version": 2\n}', encoding="utf-8")
        assert error_of(ValueError, lambda: Gate.from_json_file(str(path))) == (
            "policy JSON parse error: unknown field `version`, expected `policies` or `policy` at line 2 column 3"
        )

    def test_unreadable_files(self, tmp_path):
        missing = str(tmp_path / "missing.json")
        assert error_of(ValueError, lambda: Gate.from_json_file(missing)) == (
            f"cannot read JSON policy file '{missing}': No such file or directory"
        )
        assert error_of(ValueError, lambda: Gate.from_json_file(str(tmp_path))) == (
            f"cannot read JSON policy file '{tmp_path}': Is a directory"
        )
        latin1 = tmp_path / "latin1.json"
        latin1.write_bytes('{"policies": [], "x": "caf\xe9"}'.encode("latin-1"))
        assert error_of(ValueError, lambda: Gate.from_json_file(str(latin1))).startswith(
            f"cannot read JSON policy file '{latin1}': stream did not contain valid UTF-8"
        )

    def test_a_path_with_a_nul_byte_is_not_cut_short(self, tmp_path):
        real = tmp_path / "p.json"
        real.write_text("{}", encoding="utf-8")
        # Cut at the NUL, the path would name the real file; it must be refused instead.
        message = error_of(ValueError, lambda: Gate.from_json_file(str(real) + "\0.bak"))
        assert message.startswith("cannot read JSON policy file '")
        assert message.endswith("': path contains a NUL byte")


def verdict_fields(v):
    return dict(
        kind=v.kind, evaluator=v.evaluator, reason=v.reason, code=v.code,
        flags=(v.is_permit, v.is_refuse, v.is_invalidate),
    )


class TestVerdicts:
    def test_permit(self):
        v = Gate(PERMIT_ALL).evaluate(ctx("files.read"))
        assert isinstance(v, Verdict)
        assert verdict_fields(v) == dict(kind="permit", evaluator=None, reason=None, code=None,
                                         flags=(True, False, False))
        assert str(uuid.UUID(v.token_id)) == v.token_id
        assert repr(v) == f"Verdict.Permit(token={v.token_id})"
        token = v.permit_token
        assert isinstance(token, PermitToken) and token is not v.permit_token
        assert (token.token_id, token.action_name, token.signature) == (v.token_id, "files.read", None)
        assert token.expires_at - token.issued_at == 30
        assert abs(token.issued_at - time.time()) < 5
        assert v.signature is None

    def test_refuse(self):
        v = Gate(REFUSE_ALL).evaluate(ctx())
        assert verdict_fields(v) == dict(kind="refuse", evaluator="policy", reason="denied by policy 'nothing'",
                                         code="POLICY_DENIED", flags=(False, True, False))
        assert (v.token_id, v.permit_token, v.signature) == (None, None, None)
        assert repr(v) == "Verdict.Refuse(evaluator=policy, reason=denied by policy 'nothing')"

    def test_invalidate(self):
        v = Gate(PERMIT_ALL).evaluate(ctx(ip="10.0.0.2", origin_ip="10.0.0.1"))
        reason = "IP changed mid-session: 10.0.0.1 → 10.0.0.2"
        assert verdict_fields(v) == dict(kind="invalidate", evaluator="drift", reason=reason, code=None,
                                         flags=(False, False, True))
        assert (v.token_id, v.permit_token, v.signature) == (None, None, None)
        assert repr(v) == f"Verdict.Invalidate(reason={reason})"

    def test_one_context_evaluated_twice_keeps_its_evaluation_id(self):
        g = Gate(PERMIT_ALL)
        c = ctx()
        a, b = g.evaluate(c).permit_token, g.evaluate(c).permit_token
        assert a.evaluation_id == b.evaluation_id
        assert a.token_id != b.token_id
        assert g.evaluate(ctx()).permit_token.evaluation_id != a.evaluation_id

    def test_a_verdict_outlives_its_gate_and_context(self):
        v = Gate(REFUSE_ALL).evaluate(ctx())
        assert v.reason == "denied by policy 'nothing'"

    def test_evaluate_takes_only_an_action_context(self):
        g = Gate("")
        assert error_of(TypeError, lambda: g.evaluate("transfer")) == (
            "argument 'ctx': 'str' object cannot be converted to 'ActionContext'"
        )
        assert error_of(TypeError, lambda: g.evaluate()) == (
            "Gate.evaluate() missing 1 required positional argument: 'ctx'"
        )

    def test_the_context_can_change_between_evaluations(self):
        g = Gate("[[policy]]\nname = 'small'\neffect = 'permit'\n"
                 "conditions = [{param_max = {field = 'amount', max = 10}}]", enable_drift=False)
        c = ctx(params={"amount": 5})
        assert g.evaluate(c).is_permit
        c.with_param("amount", 50)
        assert g.evaluate(c).code == "NO_POLICY_MATCH"


class TestObserveOnly:
    def test_a_refusal_becomes_an_unsigned_permit(self):
        g = Gate(REFUSE_ALL, observe_only=True)
        v = g.evaluate(ctx("files.delete"))
        assert v.is_permit
        assert v.signature is None and v.permit_token.signature is None
        assert v.permit_token.action_name == "files.delete"

    def test_an_invalidation_becomes_a_permit_too(self):
        v = Gate(PERMIT_ALL, observe_only=True).evaluate(ctx(ip="10.0.0.2", origin_ip="10.0.0.1"))
        assert v.is_permit

    def test_without_the_flag_the_same_gate_refuses(self):
        assert Gate(REFUSE_ALL, observe_only=False).evaluate(ctx()).is_refuse


class TestInvariants:
    GATE_KW = dict(invariants=[("max_amount", "amount", 1000.0)], enable_drift=False)

    @pytest.mark.parametrize("amount,permitted", [(999.5, True), (1000, True), (1000.01, False), (None, True)])
    def test_parameter_limit(self, amount, permitted):
        g = Gate(PERMIT_ALL, **self.GATE_KW)
        v = g.evaluate(ctx(params=None if amount is None else {"amount": amount}))
        assert v.is_permit is permitted
        if not permitted:
            assert (v.evaluator, v.code, v.reason) == (
                "invariants", "INVARIANT_VIOLATION",
                "invariant 'max_amount' violated: parameter 'amount' must be at most 1000",
            )

    def test_a_text_parameter_is_not_limited(self):
        c = ctx()
        c.with_param("amount", "5000")
        assert Gate(PERMIT_ALL, **self.GATE_KW).evaluate(c).is_permit

    @pytest.mark.parametrize(
        "bound,amount,written",
        [
            (100.0, 101, "100"),
            (2.5, 3, "2.5"),
            (0.5, 1, "0.5"),
            (1e20, 1e21, "100000000000000000000"),
            (1.5e-7, 1, "0.00000015"),
            (-0.0, 1, "-0"),
            (math.nan, 0, "NaN"),
            (-math.inf, 0, "-inf"),
        ],
    )
    def test_bounds_are_written_plainly(self, bound, amount, written):
        v = Gate(PERMIT_ALL, invariants=[("cap", "amount", bound)], enable_drift=False).evaluate(
            ctx(params={"amount": amount})
        )
        assert v.reason == f"invariant 'cap' violated: parameter 'amount' must be at most {written}"

    @pytest.mark.parametrize("count,permitted", [(0, True), (10, True), (11, False)])
    def test_session_action_limit(self, count, permitted):
        g = Gate(PERMIT_ALL, max_session_actions=10, enable_drift=False)
        v = g.evaluate(ctx(action_count=count))
        assert v.is_permit is permitted
        if not permitted:
            assert v.reason == "invariant 'max_session_actions' violated: maximum 10 actions per session"

    def test_the_first_broken_invariant_is_named(self):
        g = Gate(PERMIT_ALL, invariants=[("a", "x", 1.0), ("b", "y", 1.0)], max_session_actions=1,
                 enable_drift=False)
        assert g.evaluate(ctx(params={"x": 2, "y": 2}, action_count=5)).reason.startswith("invariant 'a' violated")
        assert g.evaluate(ctx(params={"y": 2}, action_count=5)).reason.startswith("invariant 'b' violated")
        assert g.evaluate(ctx(action_count=5)).reason.startswith("invariant 'max_session_actions' violated")

    def test_the_policy_refuses_before_the_invariants_are_asked(self):
        g = Gate(REFUSE_ALL, max_session_actions=1, enable_drift=False)
        assert g.evaluate(ctx(action_count=5)).evaluator == "policy"


def km_north(km):
    """A latitude `km` kilometres north of the equator on the engine's 6371 km sphere."""
    return math.degrees(km / 6371.0)


class TestDrift:
    def test_strict_mode_invalidates_any_address_change(self):
        g = Gate(PERMIT_ALL)
        assert g.evaluate(ctx(ip="10.0.0.1", origin_ip="10.0.0.1")).is_permit
        assert g.evaluate(ctx(ip="10.0.0.1")).is_permit  # the origin defaults to the current address
        assert g.evaluate(ctx(origin_ip="10.0.0.1")).is_permit  # no current address
        v = g.evaluate(ctx(ip="2001:db8::1", origin_ip="10.0.0.1",
                           current_geo=GeoLocation("US", city="Denver")))
        assert v.reason == "IP changed mid-session: 10.0.0.1 → 2001:db8::1 (current geo: US/Denver)"
        v = g.evaluate(ctx(ip="10.0.0.2", origin_ip="10.0.0.1", current_geo=GeoLocation("DE")))
        assert v.reason == "IP changed mid-session: 10.0.0.1 → 10.0.0.2 (current geo: DE)"

    def test_tolerant_mode_measures_the_move(self):
        g = Gate(PERMIT_ALL, geo_drift_max_km=500.0)
        origin = GeoLocation("FR", latitude=0.0, longitude=0.0)
        near = dict(ip="10.0.0.2", origin_ip="10.0.0.1", origin_geo=origin)
        # One warning is below the threshold of three.
        assert g.evaluate(ctx(current_geo=GeoLocation("FR", latitude=km_north(100), longitude=0.0), **near)).is_permit
        v = g.evaluate(ctx(current_geo=GeoLocation("DE", city="Berlin", latitude=km_north(600), longitude=0.0),
                           **near))
        assert (v.kind, v.reason) == (
            "invalidate",
            "IP changed mid-session and moved 600.0km (> 500.0km threshold): 10.0.0.1 → 10.0.0.2 "
            "(current geo: DE/Berlin)",
        )
        v = g.evaluate(ctx(current_geo=GeoLocation("FR", latitude=1.0), **near))
        assert v.reason == (
            "IP changed mid-session and geo distance is unverifiable: 10.0.0.1 → 10.0.0.2 (current geo: FR)"
        )

    def test_a_nan_distance_limit_is_refused(self):
        # With NaN no move would exceed the limit, and every change of address would pass as a
        # warning: the geographic check would be open.
        assert error_of(ValueError, lambda: Gate(PERMIT_ALL, geo_drift_max_km=math.nan)) == (
            "geo_drift_max_km must not be NaN"
        )

    def test_the_distance_limit_is_ignored_without_drift(self):
        g = Gate(PERMIT_ALL, geo_drift_max_km=1.0, enable_drift=False)
        assert g.evaluate(ctx(ip="10.0.0.2", origin_ip="10.0.0.1")).is_permit

    def test_session_age_device_and_rate_violations(self):
        g = Gate(PERMIT_ALL)
        v = g.evaluate(ctx(session_started_at=int(time.time()) - 20000))
        assert v.is_invalidate
        assert v.reason.startswith("session age (") and v.reason.endswith("s) exceeds maximum (14400s)")
        v = g.evaluate(ctx(device=DeviceFingerprint("h1", "laptop"), origin_device=DeviceFingerprint("h1")))
        assert v.reason == "device fingerprint changed mid-session"
        assert g.evaluate(ctx(device=DeviceFingerprint("h1"), origin_device=DeviceFingerprint("h1"))).is_permit
        v = g.evaluate(ctx(action_count=101))
        assert v.reason == "action rate (101/min) exceeds violation threshold (100)"

    def test_three_warnings_refuse_and_two_permit(self):
        g = Gate(PERMIT_ALL, geo_drift_max_km=500.0)
        # A session 12000 s old (past three quarters of four hours) that ran 10000 actions
        # (50 a minute), and a move of 100 km.
        aged = dict(session_started_at=int(time.time()) - 12000, action_count=10000)
        moved = dict(ip="10.0.0.2", origin_ip="10.0.0.1", origin_geo=GeoLocation("FR", latitude=0.0, longitude=0.0),
                     current_geo=GeoLocation("FR", latitude=km_north(100), longitude=0.0))
        v = g.evaluate(ctx(**aged, **moved))
        assert (v.kind, v.evaluator, v.code, v.reason) == (
            "refuse", "drift", "DRIFT_DETECTED", "3 concurrent drift warnings (threshold: 3)"
        )
        assert g.evaluate(ctx(**aged)).is_permit

    def test_the_first_violation_decides(self):
        g = Gate(PERMIT_ALL)
        v = g.evaluate(ctx(ip="10.0.0.2", origin_ip="10.0.0.1", session_started_at=int(time.time()) - 20000,
                           action_count=10**6))
        assert v.reason == "IP changed mid-session: 10.0.0.1 → 10.0.0.2"

    def test_chain_order_policy_then_drift_then_invariants(self):
        changed = dict(ip="10.0.0.2", origin_ip="10.0.0.1", action_count=50)
        assert Gate(REFUSE_ALL, max_session_actions=1).evaluate(ctx(**changed)).evaluator == "policy"
        assert Gate(PERMIT_ALL, max_session_actions=1).evaluate(ctx(**changed)).evaluator == "drift"


class TestReload:
    def test_a_reload_changes_the_next_evaluation(self):
        g = Gate(PERMIT_ALL, enable_drift=False)
        assert g.evaluate(ctx()).is_permit
        assert g.reload(REFUSE_ALL + "priority = 1\n" + PERMIT_ALL) is None
        assert g.evaluate(ctx()).reason == "denied by policy 'nothing'"

    @pytest.mark.parametrize("bad", ["[[policy]]\nname = 1", '{"policies": []}', "policy = ["])
    def test_a_failing_reload_keeps_the_running_policies(self, bad):
        g = Gate(REFUSE_ALL, enable_drift=False)
        before = g.evaluate(ctx()).reason
        assert error_of(ValueError, lambda: g.reload(bad)).startswith("policy parse error: ")
        assert g.evaluate(ctx()).reason == before == "denied by policy 'nothing'"

    def test_an_empty_document_is_a_kill_switch(self):
        g = Gate(PERMIT_ALL, invariants=[("cap", "amount", 5.0)])
        g.reload("")
        v = g.evaluate(ctx())
        assert (v.code, v.reason) == ("NO_POLICY_MATCH", "no policy permits 'transfer' for principal 'alice'")
        assert g.evaluator_count == 3

    def test_only_the_policies_change(self):
        g = Gate(REFUSE_ALL, max_session_actions=1, observe_only=False)
        g.reload(PERMIT_ALL)
        assert g.evaluate(ctx(action_count=2)).evaluator == "invariants"
        assert g.evaluate(ctx(ip="10.0.0.2", origin_ip="10.0.0.1")).evaluator == "drift"

    def test_rate_limit_counts_survive_a_reload(self):
        doc = """
            [[policy]]
            name = "once"
            effect = "permit"
            conditions = [{ rate_limit = { max = 1, window = "1h" } }]
        """
        g = Gate(doc, enable_drift=False)
        assert g.evaluate(ctx()).is_permit
        g.reload(doc)
        assert g.evaluate(ctx()).code == "NO_POLICY_MATCH"

    def test_reload_argument(self):
        g = Gate("")
        assert error_of(TypeError, lambda: g.reload(None)) == (
            "argument 'policy_toml': 'NoneType' object cannot be converted to 'str'"
        )

    def test_gates_built_from_json_reload_toml(self):
        g = Gate.from_json_string("{}", enable_drift=False)
        g.reload(PERMIT_ALL)
        assert g.evaluate(ctx()).is_permit


def test_evaluations_and_reloads_from_several_threads():
    g = Gate(PERMIT_ALL, enable_drift=False)
    seen = []
    errors = []

    def evaluate():
        try:
            for _ in range(300):
                v = g.evaluate(ctx())
                seen.append(v.reason)
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append(e)

    def reload():
        try:
            for i in range(100):
                g.reload(REFUSE_ALL if i % 2 else PERMIT_ALL)
        except BaseException as e:  # noqa: BLE001
            errors.append(e)

    threads = [threading.Thread(target=evaluate) for _ in range(3)] + [threading.Thread(target=reload)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=60)
    assert not any(t.is_alive() for t in threads)
    assert errors == []
    # Each evaluation saw one whole document or the other, never a mixture.
    assert len(seen) == 900
    assert set(seen) <= {None, "denied by policy 'nothing'"}


def wait_for(predicate, timeout=5.0):
    """Polls until `predicate()` is true; False when `timeout` seconds pass first."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.005)
    return predicate()


class TestBroadcaster:
    SESSION = "67e55044-10b1-426f-9247-bb680e5fe0c8"

    @pytest.fixture
    def broadcaster(self):
        from ostrel import InMemoryInvalidationBroadcaster

        return InMemoryInvalidationBroadcaster()

    def listen(self, broadcaster):
        from ostrel import spawn_invalidation_listener

        scopes = []
        handle = spawn_invalidation_listener(
            broadcaster, lambda s: scopes.append((s.target_kind, s.target_id, s.reason, s.evaluator))
        )
        return scopes, handle

    def moved(self, **kwargs):
        return ctx(ip="10.0.0.2", origin_ip="10.0.0.1", session_id=self.SESSION, **kwargs)

    def test_every_constructor_accepts_an_in_memory_broadcaster(self, broadcaster, tmp_path):
        path = tmp_path / "p.json"
        path.write_text("{}", encoding="utf-8")
        for gate in (Gate("", broadcaster=broadcaster), Gate.from_dict({}, broadcaster=broadcaster),
                     Gate.from_json_string("{}", broadcaster=broadcaster),
                     Gate.from_json_file(str(path), broadcaster=broadcaster)):
            assert gate.evaluator_count == 2

    def test_invalidations_reach_the_listener_and_nothing_else_does(self, broadcaster):
        scopes, handle = self.listen(broadcaster)
        g = Gate(PERMIT_ALL, broadcaster=broadcaster)
        assert g.evaluate(ctx()).is_permit
        assert Gate(REFUSE_ALL, broadcaster=broadcaster).evaluate(self.moved()).is_refuse
        v = g.evaluate(self.moved())
        assert v.is_invalidate
        assert wait_for(lambda: scopes)
        assert scopes == [("session", self.SESSION, v.reason, "drift")]
        handle.abort()

    def test_an_observe_only_gate_still_announces_what_it_would_invalidate(self, broadcaster):
        scopes, handle = self.listen(broadcaster)
        v = Gate(PERMIT_ALL, observe_only=True, broadcaster=broadcaster).evaluate(self.moved())
        assert v.is_permit
        assert wait_for(lambda: scopes)
        assert scopes[0][0:2] == ("session", self.SESSION)
        handle.abort()

    def test_the_gate_shares_the_broadcaster_and_keeps_it_alive(self):
        from ostrel import InMemoryInvalidationBroadcaster

        broadcaster = InMemoryInvalidationBroadcaster()  # not a fixture: the test holds the only reference
        scopes, handle = self.listen(broadcaster)
        first = Gate(PERMIT_ALL, broadcaster=broadcaster)
        second = Gate.from_dict({"policies": [{"name": "all", "effect": "permit", "conditions": []}]},
                                broadcaster=broadcaster)
        del broadcaster
        first.evaluate(self.moved())
        second.evaluate(self.moved())
        assert wait_for(lambda: len(scopes) == 2)
        assert not handle.is_finished
        # With the last holder gone the channel closes and the listener ends.
        del first, second
        assert wait_for(lambda: handle.is_finished)
