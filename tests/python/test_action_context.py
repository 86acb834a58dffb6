"""ActionContext, GeoLocation and DeviceFingerprint as a host uses them."""

import math

import pytest

from ostrel import ActionContext, DeviceFingerprint, GeoLocation

KINDS = ["user", "agent", "service", "scheduler", "external"]


def full_context(**overrides):
    args = dict(
        principal_id="alice",
        principal_kind="agent",
        action_name="transfer",
        roles=["ops", "ops"],
        resource="acct:1",
        params={"amount": 12.5, "count": 3, "bad": math.nan, "big": math.inf},
        ip="10.0.0.1",
        session_id="67e55044-10b1-426f-9247-bb680e5fe0c8",
        current_geo=GeoLocation("US", city="Denver", latitude=39.7, longitude=-104.9),
        origin_geo=GeoLocation("US"),
        origin_ip="2001:db8::1",
        device=DeviceFingerprint("dev-1"),
        origin_device=DeviceFingerprint("dev-0", "laptop"),
        session_started_at=1_700_000_000,
        action_count=7,
    )
    args.update(overrides)
    return ActionContext(**args)


class TestConstruction:
    def test_every_argument_positionally_and_by_keyword(self):
        full_context()
        ActionContext(
            "alice", "user", "read", ("a",), None, None, None, None, None, None, None, None, None, None, None
        )

    @pytest.mark.parametrize("kind", KINDS)
    def test_principal_kinds(self, kind):
        ActionContext("p", kind, "read")

    @pytest.mark.parametrize("kind", ["User", "AGENT", "", " user", "admin"])
    def test_unknown_principal_kind(self, kind):
        with pytest.raises(ValueError) as e:
            ActionContext("p", kind, "read")
        assert str(e.value) == f"unknown principal kind: {kind}"

    def test_conversion_errors_come_before_the_principal_kind_check(self):
        with pytest.raises(TypeError):
            ActionContext("p", "User", "read", action_count="1")
        with pytest.raises(OverflowError):
            ActionContext("p", "User", "read", action_count=-1)

    def test_principal_kind_is_checked_before_the_start_time(self):
        with pytest.raises(ValueError, match="^unknown principal kind: User$"):
            ActionContext("p", "User", "read", session_started_at=2**62)

    @pytest.mark.parametrize("roles", [[], ["a"], ("a", "b"), ["dup", "dup"]])
    def test_roles_accept_any_sequence_of_str(self, roles):
        ActionContext("p", "user", "read", roles=roles)

    @pytest.mark.parametrize("roles", ["admin", None, {"a"}, 3, [b"a"]])
    def test_roles_refuse_everything_else(self, roles):
        with pytest.raises(TypeError, match="^argument 'roles': "):
            ActionContext("p", "user", "read", roles=roles)

    @pytest.mark.parametrize(
        "session_id",
        ["not-a-uuid", "", "67e55044-10b1-426f-9247-bb680e5fe0c8", "{67E55044-10B1-426F-9247-BB680E5FE0C8}"],
    )
    def test_any_session_id_text_is_accepted(self, session_id):
        ActionContext("p", "user", "read", session_id=session_id)

    @pytest.mark.parametrize("ip", ["10.0.0.1", "::1", "not an address", "", "10.0.0.256"])
    def test_any_ip_text_is_accepted(self, ip):
        ActionContext("p", "user", "read", ip=ip, origin_ip=ip)

    @pytest.mark.parametrize("seconds", [-1, 0, 2**31, -(2**37)])
    def test_start_times_in_range(self, seconds):
        ActionContext("p", "user", "read", session_started_at=seconds)

    @pytest.mark.parametrize("seconds", [2**62, -(2**62), 2**63 - 1, -(2**63)])
    def test_start_times_out_of_range(self, seconds):
        with pytest.raises(ValueError) as e:
            ActionContext("p", "user", "read", session_started_at=seconds)
        assert str(e.value) == f"session_started_at: {seconds} is not a valid unix timestamp"

    @pytest.mark.parametrize("count", [0, 1, 2**64 - 1, None])
    def test_action_counts(self, count):
        ActionContext("p", "user", "read", action_count=count)

    @pytest.mark.parametrize("count", [-1, 2**64])
    def test_action_count_out_of_range(self, count):
        with pytest.raises(OverflowError):
            ActionContext("p", "user", "read", action_count=count)

    @pytest.mark.parametrize("params", [{}, None, {"a": 1}, {"a": -0.5, "b": math.nan, "c": -math.inf}, {"t": True}])
    def test_params_of_numbers(self, params):
        ActionContext("p", "user", "read", params=params)

    @pytest.mark.parametrize("params", [{"a": "5"}, {"a": None}, {1: 1.0}, {"a": [1]}, [("a", 1.0)], "a"])
    def test_params_refuse_non_numbers(self, params):
        with pytest.raises(TypeError, match="^argument 'params': "):
            ActionContext("p", "user", "read", params=params)

    @pytest.mark.parametrize(
        "name,value",
        [
            ("current_geo", DeviceFingerprint("h")),
            ("origin_geo", "US"),
            ("device", GeoLocation("US")),
            ("origin_device", "h"),
            ("resource", 1),
            ("ip", b"10.0.0.1"),
            ("session_id", 1),
            ("origin_ip", 1),
            ("session_started_at", 1.0),
        ],
    )
    def test_wrong_types_name_the_parameter(self, name, value):
        with pytest.raises(TypeError) as e:
            ActionContext("p", "user", "read", **{name: value})
        assert str(e.value).startswith(f"argument '{name}': ")

    def test_has_no_properties_and_no_repr_of_its_own(self):
        ctx = ActionContext("p", "user", "read")
        assert repr(ctx).startswith("<ActionContext object at ")
        assert [n for n in dir(ctx) if not n.startswith("_")] == ["with_param"]


class TestWithParam:
    @pytest.mark.parametrize(
        "value", [5, 5.5, -1, True, False, math.nan, math.inf, "5", "", None, object(), [1], 10**400]
    )
    def test_accepts_any_value(self, value):
        ctx = ActionContext("p", "user", "read")
        assert ctx.with_param("k", value) is None
        ctx.with_param("k", value)  # replacing is fine too

    @pytest.mark.parametrize("key", [1, None, b"k"])
    def test_key_must_be_str(self, key):
        with pytest.raises(TypeError, match="^argument 'key': "):
            ActionContext("p", "user", "read").with_param(key, 1)

    def test_a_failing_str_propagates(self):
        class Unprintable:
            def __str__(self):
                raise LookupError("no text")

        with pytest.raises(LookupError, match="no text"):
            ActionContext("p", "user", "read").with_param("k", Unprintable())

    def test_a_failing_float_falls_back_to_str(self):
        class Odd:
            def __float__(self):
                raise ValueError("not a number")

            def __str__(self):
                return "odd"

        ActionContext("p", "user", "read").with_param("k", Odd())

    def test_interrupts_are_not_mistaken_for_not_a_number(self):
        class Interrupting:
            def __float__(self):
                raise KeyboardInterrupt

        with pytest.raises(KeyboardInterrupt):
            ActionContext("p", "user", "read").with_param("k", Interrupting())

    def test_reentrant_use_is_refused_and_the_borrow_released_afterwards(self):
        ctx = ActionContext("p", "user", "read")
        seen = []

        class Reentrant:
            def __str__(self):
                try:
                    ctx.with_param("inner", 1)
                except RuntimeError as e:
                    seen.append(str(e))
                return "outer"

        ctx.with_param("outer", Reentrant())
        assert seen == ["Already borrowed"]
        ctx.with_param("after", 1)  # not left borrowed

    def test_unbound_call_checks_self(self):
        with pytest.raises(TypeError):
            ActionContext.with_param(GeoLocation("US"), "k", 1)


class TestGeoLocation:
    def test_properties(self):
        g = GeoLocation("US", "CO", "Denver", 39.7392, -104.9903)
        assert (g.country_code, g.region, g.city, g.latitude, g.longitude) == (
            "US",
            "CO",
            "Denver",
            39.7392,
            -104.9903,
        )
        empty = GeoLocation("")
        assert (empty.country_code, empty.region, empty.city, empty.latitude, empty.longitude) == (
            "",
            None,
            None,
            None,
            None,
        )
        assert type(GeoLocation("US", latitude=1).latitude) is float

    @pytest.mark.parametrize(
        "geo,text",
        [
            (GeoLocation("US"), "GeoLocation(US)"),
            (GeoLocation("US", "CO", "Denver"), "GeoLocation(US/Denver)"),
            (GeoLocation("US", "CO"), "GeoLocation(US)"),
            (GeoLocation("US", city="Denver", latitude=39.7392, longitude=-104.9903), "GeoLocation(US/Denver, 39.7392,-104.9903)"),
            (GeoLocation("US", latitude=1, longitude=2.00006), "GeoLocation(US, 1.0000,2.0001)"),
            (GeoLocation("US", latitude=1), "GeoLocation(US)"),
            (GeoLocation("X", latitude=-0.00001, longitude=1e20), "GeoLocation(X, -0.0000,100000000000000000000.0000)"),
            (GeoLocation("X", latitude=math.nan, longitude=math.inf), "GeoLocation(X, nan,inf)"),
            (GeoLocation("é", city="Zürich"), "GeoLocation(é/Zürich)"),
        ],
    )
    def test_repr(self, geo, text):
        assert repr(geo) == text

    @pytest.mark.parametrize(
        "a,b,km",
        [
            ((0, 0), (0, 1), 111.19492664455873),
            ((0, 0), (0, 0), 0.0),
            ((90, 0), (-90, 0), math.pi * 6371.0),
            ((39.7392, -104.9903), (40.7128, -74.0060), 2619.055423433747),
        ],
    )
    def test_distance(self, a, b, km):
        ga = GeoLocation("X", latitude=a[0], longitude=a[1])
        gb = GeoLocation("X", latitude=b[0], longitude=b[1])
        assert ga.distance_km(gb) == pytest.approx(km, rel=1e-12)
        assert gb.distance_km(ga) == pytest.approx(km, rel=1e-12)
        assert ga.distance_km(other=gb) == pytest.approx(km, rel=1e-12)

    @pytest.mark.parametrize(
        "a,b",
        [
            (GeoLocation("US"), GeoLocation("US", latitude=1, longitude=1)),
            (GeoLocation("US", latitude=1), GeoLocation("US", latitude=1, longitude=1)),
            (GeoLocation("US", latitude=1, longitude=1), GeoLocation("US", longitude=1)),
        ],
    )
    def test_distance_needs_both_coordinates_on_both_sides(self, a, b):
        assert a.distance_km(b) is None
        assert b.distance_km(a) is None

    def test_distance_to_itself(self):
        g = GeoLocation("US", latitude=1, longitude=1)
        assert g.distance_km(g) == 0.0

    @pytest.mark.parametrize("other", [None, "US", (0, 1), DeviceFingerprint("h")])
    def test_distance_needs_a_geolocation(self, other):
        with pytest.raises(TypeError, match="^argument 'other': "):
            GeoLocation("US").distance_km(other)

    @pytest.mark.parametrize("lat", ["1.5", b"1", [1.0]])
    def test_coordinates_must_be_numbers(self, lat):
        with pytest.raises(TypeError, match="^argument 'latitude': "):
            GeoLocation("US", latitude=lat)

    def test_coordinates_have_no_range_check(self):
        g = GeoLocation("US", latitude=1000.0, longitude=-1000.0)
        assert (g.latitude, g.longitude) == (1000.0, -1000.0)


class TestDeviceFingerprint:
    def test_properties_and_repr(self):
        d = DeviceFingerprint("abc")
        assert (d.hash, d.description) == ("abc", None)
        assert repr(d) == "DeviceFingerprint(hash=abc)"
        d = DeviceFingerprint("abc", description="Work laptop")
        assert (d.hash, d.description) == ("abc", "Work laptop")
        assert repr(d) == "DeviceFingerprint(hash=abc, description=Work laptop)"

    @pytest.mark.parametrize("args", [(None,), (1,), ("h", 1), ("h", b"d")])
    def test_wrong_types(self, args):
        with pytest.raises(TypeError, match="^argument '(hash|description)': "):
            DeviceFingerprint(*args)
