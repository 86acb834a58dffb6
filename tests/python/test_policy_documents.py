"""Policy documents through the gate: the three carriers, their error texts, and how rules decide."""

import collections
import datetime
import json
import time
import types
import zoneinfo

import pytest

from ostrel import ActionContext, Gate

PERMIT_ALL = {"name": "all", "effect": "permit", "conditions": []}


def rule(name="r", effect="permit", conditions=(), **extra):
    return {"name": name, "effect": effect, "conditions": list(conditions), **extra}


def policy_gate(*rules):
    """A gate whose only evaluator is the policy engine, so verdicts show the rules alone."""
    return Gate.from_dict({"policies": list(rules)}, enable_drift=False)


def ctx(action="read", principal="alice", kind="agent", **kwargs):
    return ActionContext(principal, kind, action, **kwargs)


def value_error(build):
    with pytest.raises(ValueError) as e:
        build()
    assert type(e.value) is ValueError
    return str(e.value)


# Documents that the JSON form and the dict form refuse with the same standard text; the JSON
# reader adds the position.
REJECTED = [
    ({"version": 1}, "unknown field `version`, expected `policies` or `policy`"),
    ({"policy": [], "policies": []}, "duplicate field `policy`"),
    ({"policies": [{"name": "a", "effect": "permit"}]}, "missing field `conditions`"),
    ({"policies": [{"effect": "permit", "conditions": []}]}, "missing field `name`"),
    ({"policies": [rule(priority=-1)]}, "invalid value: integer `-1`, expected u32"),
    ({"policies": [rule(priority=4294967296)]}, "invalid value: integer `4294967296`, expected u32"),
    ({"policies": [rule(priority=10.0)]}, "invalid type: floating point `10.0`, expected u32"),
    ({"policies": [rule(priority="1")]}, 'invalid type: string "1", expected u32'),
    ({"policies": [rule(effect="Permit")]}, "unknown variant `Permit`, expected `permit` or `refuse`"),
    ({"policies": [rule(effect="deny")]}, "unknown variant `deny`, expected `permit` or `refuse`"),
    (
        {"policies": [rule(owner="x")]},
        "unknown field `owner`, expected one of `name`, `effect`, `conditions`, `description`, `priority`",
    ),
    (
        {"policies": [rule(conditions=[{"identity_kinds": "agent"}])]},
        "unknown variant `identity_kinds`, expected one of `identity_role`, `identity_kind`, `identity_id`, "
        "`action`, `param_max`, `param_min`, `param_in`, `rate_limit`, `session_age_max`, `resource`, "
        "`time_window`",
    ),
    (
        {"policies": [rule(conditions=[{"identity_kind": "robot"}])]},
        "unknown variant `robot`, expected one of `user`, `agent`, `service`, `scheduler`, `external`",
    ),
    (
        {"policies": [rule(conditions=[{"param_max": {"field": "amount", "max": 1, "min": 0}}])]},
        "unknown field `min`, expected `field` or `max`",
    ),
    ({"policies": [rule(conditions=[{"param_min": {"field": "amount"}}])]}, "missing field `min`"),
    ({"policies": [rule(conditions=[{"param_in": {"values": []}}])]}, "missing field `field`"),
    (
        {"policies": [rule(conditions=[{"param_max": {"field": "amount", "max": "100"}}])]},
        'invalid type: string "100", expected f64',
    ),
    (
        {"policies": [rule(conditions=[{"rate_limit": {"max": 1.5, "window": "1m"}}])]},
        "invalid type: floating point `1.5`, expected u32",
    ),
    ({"policies": [rule(conditions=["action"])]}, 'invalid type: string "action", expected map with a single key'),
    (
        {"policies": [rule(conditions=[{"action": "a", "resource": "b"}])]},
        "invalid value: map with more than one key, expected map with a single key",
    ),
    ({"policies": "all"}, 'invalid type: string "all", expected a sequence'),
]


@pytest.mark.parametrize("doc,message", REJECTED, ids=[m for _, m in REJECTED])
def test_json_and_dict_documents_are_refused_with_the_standard_texts(doc, message):
    assert value_error(lambda: Gate.from_dict(doc)) == f"policy dict parse error: {message}"
    text = value_error(lambda: Gate.from_json_string(json.dumps(doc)))
    assert text.startswith(f"policy JSON parse error: {message} at line 1 column "), text


TOML_REJECTED = [
    ("version = 1", "unknown field `version`, expected `policies` or `policy`"),
    ('[[policy]]\nname = "a"\neffect = "permit"', "missing field `conditions`"),
    ('[[policy]]\nname = "a"\neffect = "Permit"\nconditions = []', "unknown variant `Permit`"),
    ('[[policy]]\nname = "a"\neffect = "permit"\nconditions = []\npriority = -1', "invalid value: integer `-1`"),
    ('[[policy]]\nname = "a"\neffect = "permit"\nconditions = []\npriority = 1.0', "invalid type: floating point"),
    ('[[policy]]\nname = "a"\neffect = "permit"\nconditions = [{identity_kinds = "x"}]', "unknown variant"),
    ('[[policy]]\nname = "a"\neffect = "permit"\nconditions = [{identity_kind = "robot"}]', "unknown variant `robot`"),
    ('policy = []\npolicies = []', "duplicate field `policy`"),
    ("policy = [", "policy parse error: "),
]


@pytest.mark.parametrize("text,fragment", TOML_REJECTED, ids=[t for t, _ in TOML_REJECTED])
def test_toml_documents_are_refused_with_the_standard_texts(text, fragment):
    message = value_error(lambda: Gate(text))
    assert message.startswith("policy parse error: ")
    assert fragment in message
    # The reader says where: a line and column, and an excerpt of the offending line.
    assert " at line " in message


# What the conversion from Python data refuses before the schema is read, and where it says it was.
CONVERSION_REJECTED = [
    ({"policies": {1, 2}}, "unsupported type 'set': a JSON value is a dict, list, tuple, str, int, float, bool "
     "or None at policies"),
    ({"policies": [rule(conditions=[{1: "x"}])]}, "unsupported key type 'int': object keys must be str at "
     "policies[0].conditions[0]"),
    ({"policies": [rule(priority=2**64)]}, "integer out of range: a number must fit in 64 bits, signed or "
     "unsigned at policies[0].priority"),
    ({"policies": [rule(priority=-(2**63) - 1)]}, "integer out of range: a number must fit in 64 bits, signed or "
     "unsigned at policies[0].priority"),
    (
        {"policies": [rule(conditions=[{"param_max": {"field": "x", "max": float("nan")}}])]},
        "float nan has no JSON form at policies[0].conditions[0].param_max.max",
    ),
    ({"policies": [rule(description=float("-inf"))]}, "float -inf has no JSON form at policies[0].description"),
    ({"policies": [rule(name=b"raw")]}, "unsupported type 'bytes': a JSON value is a dict, list, tuple, str, int, "
     "float, bool or None at policies[0].name"),
    (object(), "unsupported type 'object': a JSON value is a dict, list, tuple, str, int, float, bool or None"),
]


@pytest.mark.parametrize("doc,message", CONVERSION_REJECTED, ids=[m for _, m in CONVERSION_REJECTED])
def test_dict_values_without_a_json_form_are_refused_with_their_place(doc, message):
    assert value_error(lambda: Gate.from_dict(doc)) == f"policy dict parse error: {message}"


def test_a_lone_surrogate_is_refused_as_an_invalid_string():
    message = value_error(lambda: Gate.from_dict({"policies": [rule(name="\ud800")]}))
    assert message.startswith("policy dict parse error: invalid string: ")
    assert message.endswith(" at policies[0].name")


def test_a_container_that_holds_itself_is_refused_not_followed_forever():
    loop = []
    loop.append(loop)
    message = value_error(lambda: Gate.from_dict({"policies": loop}))
    assert message.startswith("policy dict parse error: nesting deeper than 128 levels")
    assert len(message) < 400
    looped = {}
    looped["policies"] = [looped]
    assert "nesting deeper than 128 levels" in value_error(lambda: Gate.from_dict(looped))


def test_a_non_document_top_level_value_is_refused_by_the_schema():
    assert value_error(lambda: Gate.from_dict("abc")) == (
        'policy dict parse error: invalid type: string "abc", expected struct PolicySet'
    )
    assert value_error(lambda: Gate.from_dict(None)) == (
        "policy dict parse error: invalid type: null, expected struct PolicySet"
    )


def test_a_mapping_that_raises_passes_its_exception_through():
    class Exploding(collections.abc.Mapping):
        def __getitem__(self, key):
            raise KeyError(key)

        def __iter__(self):
            raise ZeroDivisionError("no keys today")

        def __len__(self):
            return 1

    with pytest.raises(ZeroDivisionError):
        Gate.from_dict(Exploding())


class TestAcceptedDocuments:
    @pytest.mark.parametrize(
        "build",
        [
            lambda: Gate(""),
            lambda: Gate("# nothing but a comment\n"),
            lambda: Gate.from_json_string("{}"),
            lambda: Gate.from_json_string(' {"policies": []} '),
            lambda: Gate.from_dict({}),
            lambda: Gate.from_dict({"policy": []}),
        ],
    )
    def test_documents_without_rules_deny_everything(self, build):
        v = build().evaluate(ctx())
        assert (v.kind, v.code, v.evaluator) == ("refuse", "NO_POLICY_MATCH", "policy")

    def test_the_three_carriers_read_the_same_document(self):
        toml = """
            [[policy]]
            name = "cap"
            effect = "refuse"
            description = "large payments need a human"
            priority = 1
            conditions = [{ param_min = { field = "amount", min = 500 } }]

            [[policy]]
            name = "pay"
            effect = "permit"
            conditions = [{ action = "payments.*" }, { identity_role = "billing" }]
        """
        doc = {
            "policies": [
                rule("cap", "refuse", [{"param_min": {"field": "amount", "min": 500}}],
                     description="large payments need a human", priority=1),
                rule("pay", "permit", [{"action": "payments.*"}, {"identity_role": "billing"}]),
            ]
        }
        gates = [Gate(toml), Gate.from_dict(doc), Gate.from_json_string(json.dumps(doc))]
        contexts = [
            lambda: ctx("payments.refund", roles=["billing"], params={"amount": 20}),
            lambda: ctx("payments.refund", roles=["billing"], params={"amount": 500}),
            lambda: ctx("payments.refund", roles=["support"], params={"amount": 20}),
        ]
        for make in contexts:
            assert len({(v.kind, v.reason) for v in (g.evaluate(make()) for g in gates)}) == 1
        assert gates[1].evaluate(contexts[1]()).reason == "denied by policy 'cap'"

    def test_dict_forms_of_python_data(self):
        # Tuples are arrays, other mappings are objects, None is a null description, the integer
        # 100 reads like the float 100.0, and the boundary priorities are accepted.
        doc = types.MappingProxyType(
            {
                "policies": (
                    collections.OrderedDict(
                        name="low", effect="permit", description=None, priority=0,
                        conditions=({"param_max": {"field": "amount", "max": 100}},),
                    ),
                    rule("high", priority=4294967295, conditions=[{"param_max": {"field": "amount", "max": 100.0}}]),
                )
            }
        )
        g = policy_gate(*doc["policies"])
        assert Gate.from_dict(doc).evaluate(ctx(params={"amount": 100})).is_permit
        assert g.evaluate(ctx(params={"amount": 100.5})).code == "NO_POLICY_MATCH"

    def test_booleans_are_not_numbers(self):
        assert value_error(lambda: policy_gate(rule(priority=True))) == (
            "policy dict parse error: invalid type: boolean `true`, expected u32"
        )

    def test_an_unreadable_duration_is_not_a_document_error(self):
        policy_gate(rule(conditions=[{"rate_limit": {"max": 1, "window": "lots"}}, {"session_age_max": "1w"}]))


class TestRuleOrder:
    def test_smaller_priority_decides_and_ties_keep_document_order(self):
        g = policy_gate(rule("deny", "refuse", priority=10), rule("allow", "permit", priority=5))
        assert g.evaluate(ctx()).is_permit
        g = policy_gate(rule("first", "refuse", priority=7), rule("second", "permit", priority=7))
        assert g.evaluate(ctx()).reason == "denied by policy 'first'"

    def test_a_rule_without_priority_comes_after_99(self):
        g = policy_gate(rule("default", "permit"), rule("explicit", "refuse", priority=99))
        assert g.evaluate(ctx()).reason == "denied by policy 'explicit'"

    def test_refusal_and_default_deny_texts(self):
        g = policy_gate(rule("no-deletes", "refuse", [{"action": "delete"}]))
        v = g.evaluate(ctx("delete"))
        assert (v.kind, v.evaluator, v.code, v.reason) == ("refuse", "policy", "POLICY_DENIED",
                                                            "denied by policy 'no-deletes'")
        v = g.evaluate(ctx("read", principal="bob"))
        assert (v.code, v.reason) == ("NO_POLICY_MATCH", "no policy permits 'read' for principal 'bob'")


def holds(condition, context):
    return policy_gate(rule("only", "permit", [condition])).evaluate(context).is_permit


CONDITIONS = [
    # (condition, context, holds)
    ({"action": "payments.*"}, ctx("payments"), True),
    ({"action": "payments.*"}, ctx("payments.refund"), True),
    ({"action": "payments.*"}, ctx("paymentsx"), True),
    ({"action": "payments.*"}, ctx("payment"), False),
    ({"action": "payments*"}, ctx("payments.refund"), True),
    ({"action": "payments"}, ctx("payments"), True),
    ({"action": "payments"}, ctx("payments.refund"), False),
    ({"action": "Payments"}, ctx("payments"), False),
    ({"action": "*"}, ctx("anything.at.all"), True),
    ({"action": ""}, ctx(""), True),
    ({"action": ""}, ctx("read"), False),
    ({"resource": "db/*"}, ctx(resource="db/users"), True),
    ({"resource": "db/*"}, ctx(), False),
    ({"resource": "*"}, ctx(), False),
    ({"identity_role": "ops"}, ctx(roles=["dev", "ops"]), True),
    ({"identity_role": "ops"}, ctx(roles=["Ops"]), False),
    ({"identity_kind": "service"}, ctx(kind="service"), True),
    ({"identity_kind": "service"}, ctx(kind="agent"), False),
    ({"identity_id": "alice"}, ctx(principal="alice"), True),
    ({"identity_id": "alice"}, ctx(principal="alice2"), False),
    ({"param_max": {"field": "amount", "max": 100}}, ctx(params={"amount": 100}), True),
    ({"param_max": {"field": "amount", "max": 100}}, ctx(params={"amount": 100.5}), False),
    ({"param_max": {"field": "amount", "max": 100}}, ctx(), False),
    ({"param_min": {"field": "amount", "min": 10}}, ctx(params={"amount": 10}), True),
    ({"param_min": {"field": "amount", "min": 10}}, ctx(params={"amount": 9.99}), False),
    ({"param_in": {"field": "region", "values": ["eu", "us"]}}, ctx(params={"region": 1}), False),
    ({"param_in": {"field": "region", "values": []}}, ctx(), False),
]


@pytest.mark.parametrize("condition,context,expected", CONDITIONS)
def test_conditions(condition, context, expected):
    assert holds(condition, context) is expected


def test_parameter_kinds_are_not_interchangeable():
    text_amount = ctx()
    text_amount.with_param("amount", "50")
    assert not holds({"param_max": {"field": "amount", "max": 100}}, text_amount)
    region = ctx()
    region.with_param("region", "eu")
    assert holds({"param_in": {"field": "region", "values": ["eu", "us"]}}, region)
    region.with_param("region", "EU")
    assert not holds({"param_in": {"field": "region", "values": ["eu", "us"]}}, region)


def test_a_nan_parameter_fails_every_comparison():
    assert not holds({"param_max": {"field": "x", "max": 1e308}}, ctx(params={"x": float("nan")}))
    assert not holds({"param_min": {"field": "x", "min": -1e308}}, ctx(params={"x": float("nan")}))


class TestRateLimits:
    DOC = """
        [[policy]]
        name = "search-budget"
        effect = "permit"
        conditions = [{ action = "search" }, { rate_limit = { max = 2, window = "1m" } }]

        [[policy]]
        name = "too-fast"
        effect = "refuse"
        conditions = [{ action = "search" }]
    """

    def test_the_third_action_in_the_window_falls_through_to_the_next_rule(self):
        g = Gate(self.DOC, enable_drift=False)
        reasons = [g.evaluate(ctx("search")).reason for _ in range(3)]
        assert reasons == [None, None, "denied by policy 'too-fast'"]
        # Counted per principal and action name.
        assert g.evaluate(ctx("search", principal="bob")).is_permit
        assert g.evaluate(ctx("read")).code == "NO_POLICY_MATCH"

    def test_every_gate_counts_in_its_own_store(self):
        a, b = Gate(self.DOC, enable_drift=False), Gate(self.DOC, enable_drift=False)
        for _ in range(2):
            assert a.evaluate(ctx("search")).is_permit
        assert b.evaluate(ctx("search")).is_permit

    def test_an_unreadable_window_counts_as_an_hour(self):
        g = policy_gate(rule("budget", conditions=[{"rate_limit": {"max": 1, "window": "10M"}}]))
        assert [g.evaluate(ctx()).is_permit for _ in range(2)] == [True, False]


class TestSessionAge:
    @pytest.mark.parametrize(
        "limit,age,expected",
        [("1h", 3590, True), ("1h", 3620, False), ("90m", 5390, True), ("lots", 86000, True), ("lots", 86500, False)],
    )
    def test_session_age_limits(self, limit, age, expected):
        started = int(time.time()) - age
        assert holds({"session_age_max": limit}, ctx(session_started_at=started)) is expected

    def test_a_session_from_the_future_passes(self):
        assert holds({"session_age_max": "1s"}, ctx(session_started_at=int(time.time()) + 3600))


def hhmm(t):
    return t.strftime("%H:%M")


class TestTimeWindows:
    # The window is examined at the context's creation time, which a test cannot set: windows are
    # placed around the current time, wide enough for the test's own run time.
    def window_around(self, now, zone=None):
        text = f"{hhmm(now - datetime.timedelta(minutes=5))}-{hhmm(now + datetime.timedelta(minutes=5))}"
        return f"{text} {zone}" if zone else text

    def test_windows_in_utc(self):
        now = datetime.datetime.now(datetime.timezone.utc)
        assert holds({"time_window": self.window_around(now)}, ctx())
        later = now + datetime.timedelta(hours=6)
        assert not holds({"time_window": self.window_around(later)}, ctx())
        # The complement of a window, across midnight, holds now.
        outside = f"{hhmm(now + datetime.timedelta(minutes=5))}-{hhmm(now - datetime.timedelta(minutes=5))}"
        assert holds({"time_window": outside}, ctx()) is False

    def test_windows_in_a_zone_use_its_local_time(self):
        tokyo = datetime.datetime.now(zoneinfo.ZoneInfo("Asia/Tokyo"))
        assert holds({"time_window": self.window_around(tokyo, "Asia/Tokyo")}, ctx())
        # The same clock times read as UTC are nine hours away.
        assert not holds({"time_window": self.window_around(tokyo)}, ctx())

    @pytest.mark.parametrize(
        "window", ["00:00 - 23:59", "0000-2359", "00:00-24:00", "25:00-23:59", "00:00-23:59 Mars/Olympus",
                   "00:00-23:59 asia/tokyo", " 00:00-23:59"]
    )
    def test_malformed_windows_and_unknown_zones_fail_closed(self, window):
        assert not holds({"time_window": window}, ctx())
