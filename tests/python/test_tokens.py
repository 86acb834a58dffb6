"""PermitToken rebuilt from wire fields, its canonical bytes, and the Verdict class surface."""

import struct
import uuid

import pytest

from ostrel import PermitToken, Verdict

TOKEN = "67e55044-10b1-426f-9247-bb680e5fe0c8"
EVAL = "00112233-4455-6677-8899-aabbccddeeff"


def days_from_civil(y, m, d):
    # Proleptic Gregorian day number relative to 1970-01-01 (Howard Hinnant's formula).
    y -= m <= 2
    era = y // 400
    yoe = y - era * 400
    doy = (153 * (m - 3 if m > 2 else m + 9) + 2) // 5 + d - 1
    doe = yoe * 365 + yoe // 4 - yoe // 100 + doy
    return era * 146097 + doe - 719468


# The supported calendar runs from -262143-01-01 to 262142-12-31.
FIRST_SECOND = days_from_civil(-262143, 1, 1) * 86400
LAST_SECOND = (days_from_civil(262142, 12, 31) + 1) * 86400 - 1


def token(**overrides):
    args = dict(token_id=TOKEN, evaluation_id=EVAL, issued_at=1_700_000_000, expires_at=1_700_000_030,
                action_name="transfer")
    args.update(overrides)
    return PermitToken(**args)


class TestConstructor:
    def test_properties(self):
        t = token(signature=b"\x00\x01")
        assert t.token_id == TOKEN
        assert t.evaluation_id == EVAL
        assert t.issued_at == 1_700_000_000
        assert t.expires_at == 1_700_000_030
        assert t.action_name == "transfer"
        assert t.signature == b"\x00\x01"
        assert token().signature is None
        assert token(signature=None).signature is None

    @pytest.mark.parametrize(
        "text",
        [
            TOKEN.upper(),
            TOKEN.replace("-", ""),
            "{" + TOKEN + "}",
            "urn:uuid:" + TOKEN,
        ],
    )
    def test_uuid_text_forms_read_back_hyphenated_lowercase(self, text):
        t = token(token_id=text, evaluation_id=text)
        assert t.token_id == TOKEN
        assert t.evaluation_id == TOKEN

    @pytest.mark.parametrize("bad", ["", "nope", TOKEN[:-1], TOKEN + "0", TOKEN.replace("e", "g")])
    def test_ids_must_be_uuids(self, bad):
        with pytest.raises(ValueError) as e:
            token(token_id=bad)
        assert str(e.value).startswith("token_id not a UUID: ")
        assert len(str(e.value)) > len("token_id not a UUID: ")
        with pytest.raises(ValueError) as e:
            token(evaluation_id=bad)
        assert str(e.value).startswith("evaluation_id not a UUID: ")

    @pytest.mark.parametrize("seconds", [FIRST_SECOND, -1, 0, LAST_SECOND])
    def test_instants_inside_the_calendar(self, seconds):
        t = token(issued_at=seconds, expires_at=seconds)
        assert (t.issued_at, t.expires_at) == (seconds, seconds)

    @pytest.mark.parametrize("seconds", [FIRST_SECOND - 1, LAST_SECOND + 1, 2**63 - 1, -(2**63)])
    def test_instants_outside_the_calendar(self, seconds):
        with pytest.raises(ValueError) as e:
            token(issued_at=seconds)
        assert str(e.value) == "issued_at out of range"
        with pytest.raises(ValueError) as e:
            token(expires_at=seconds)
        assert str(e.value) == "expires_at out of range"

    @pytest.mark.parametrize(
        "overrides,message",
        [
            (dict(token_id="x", evaluation_id="y", issued_at=2**62, expires_at=2**62), "token_id not a UUID: "),
            (dict(evaluation_id="y", issued_at=2**62, expires_at=2**62), "evaluation_id not a UUID: "),
            (dict(issued_at=2**62, expires_at=2**62), "issued_at out of range"),
        ],
    )
    def test_checks_run_in_order(self, overrides, message):
        with pytest.raises(ValueError) as e:
            token(**overrides)
        assert str(e.value).startswith(message)

    def test_type_errors_come_before_value_checks(self):
        with pytest.raises(TypeError, match="^argument 'action_name': "):
            token(token_id="not a uuid", action_name=None)

    def test_no_relation_between_times_is_checked(self):
        t = token(issued_at=100, expires_at=5)
        assert t.expires_at - t.issued_at == -95

    @pytest.mark.parametrize(
        "signature,expected",
        [
            (b"", b""),
            (b"\xff" * 3309, b"\xff" * 3309),
            (bytearray(b"ab"), b"ab"),
            ([0, 1, 255], b"\x00\x01\xff"),
            ((7,), b"\x07"),
            (memoryview(b"xy"), b"xy"),
        ],
    )
    def test_signature_from_bytes_or_integer_sequences(self, signature, expected):
        t = token(signature=signature)
        assert type(t.signature) is bytes
        assert t.signature == expected

    @pytest.mark.parametrize("signature,exc", [("ab", TypeError), ([1, "a"], TypeError), ([256], OverflowError),
                                               ([-1], OverflowError), (5, TypeError)])
    def test_signature_refusals(self, signature, exc):
        with pytest.raises(exc):
            token(signature=signature)

    @pytest.mark.parametrize("name", ["issued_at", "expires_at"])
    @pytest.mark.parametrize("value", [1.0, "1", None])
    def test_times_must_be_int(self, name, value):
        with pytest.raises(TypeError, match=f"^argument '{name}': "):
            token(**{name: value})


class TestCanonicalBytes:
    def test_layout(self):
        t = token(issued_at=-1, expires_at=29, action_name="wire_€", signature=b"not included")
        b = t.canonical_bytes()
        assert type(b) is bytes
        assert b[:16] == uuid.UUID(TOKEN).bytes
        assert b[16:32] == uuid.UUID(EVAL).bytes
        assert b[32:40] == b"\xff" * 8
        assert b[40:48] == struct.pack("<q", 29)
        assert b[48:] == "wire_€".encode()
        assert len(b) == 48 + len("wire_€".encode())

    def test_empty_action_name_gives_48_bytes(self):
        assert len(token(action_name="").canonical_bytes()) == 48

    @pytest.mark.parametrize("seconds", [FIRST_SECOND, -(2**31), 0, 2**40 + 7, LAST_SECOND])
    def test_seconds_are_signed_little_endian(self, seconds):
        b = token(issued_at=seconds, expires_at=-1).canonical_bytes()
        assert struct.unpack("<qq", b[32:48]) == (seconds, -1)
        b = token(issued_at=0, expires_at=seconds).canonical_bytes()
        assert struct.unpack("<qq", b[32:48]) == (0, seconds)

    def test_same_fields_give_same_bytes(self):
        a = token(signature=b"1")
        b = PermitToken(a.token_id, a.evaluation_id, a.issued_at, a.expires_at, a.action_name)
        assert a.canonical_bytes() == b.canonical_bytes()
        assert a.canonical_bytes() != token(action_name="transfer2").canonical_bytes()


@pytest.mark.parametrize(
    "signature,suffix",
    [(None, "signed=false)"), (b"", "signed=true)"), (b"sig", "signed=true)")],
)
def test_repr(signature, suffix):
    t = token(signature=signature)
    assert repr(t) == f"PermitToken(token_id={TOKEN}, action=transfer, {suffix}"


def test_verdict_surface_without_a_gate():
    # Verdicts only come from Gate.evaluate; here only the class surface is visible.
    for name in ["kind", "evaluator", "reason", "code", "token_id", "is_permit", "is_refuse",
                 "is_invalidate", "permit_token", "signature"]:
        assert type(getattr(Verdict, name)).__name__ == "getset_descriptor", name
    with pytest.raises(TypeError, match="^No constructor defined for Verdict$"):
        Verdict()
