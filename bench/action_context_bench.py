"""Cost of building an ActionContext and of PermitToken.canonical_bytes() from Python, each beside
the same work done by a plain Python dataclass in the same run.

    python3 bench/action_context_bench.py [--repeats 31] [--number 20000]

Prints the median time per call over the repeats and the ratio ostrel / dataclass (below 1.0
means ostrel is faster).

On a loaded machine wall-clock medians drift; CPU time of a fixed loop does not. For that,

    perf stat -e task-clock python3 bench/action_context_bench.py --loop 1000000 --only ostrel
    perf stat -e task-clock python3 bench/action_context_bench.py --loop 1000000 --only dataclass
    perf stat -e task-clock python3 bench/action_context_bench.py --loop 1000000 --only none

builds that many contexts and nothing else (`none` runs the empty loop, for the start-up cost
to subtract); the same command under `valgrind --tool=callgrind` counts instructions.
"""

from __future__ import annotations

import argparse
import statistics
import struct
import timeit
import uuid
from dataclasses import dataclass, field

from ostrel import ActionContext, PermitToken


@dataclass
class GeoLocationPy:
    country_code: str
    region: str | None = None
    city: str | None = None
    latitude: float | None = None
    longitude: float | None = None


@dataclass
class DeviceFingerprintPy:
    hash: str
    description: str | None = None


@dataclass
class ActionContextPy:
    principal_id: str
    principal_kind: str
    action_name: str
    roles: list[str] = field(default_factory=list)
    resource: str | None = None
    params: dict[str, float] | None = None
    ip: str | None = None
    session_id: str | None = None
    current_geo: GeoLocationPy | None = None
    origin_geo: GeoLocationPy | None = None
    origin_ip: str | None = None
    device: DeviceFingerprintPy | None = None
    origin_device: DeviceFingerprintPy | None = None
    session_started_at: int | None = None
    action_count: int | None = None


@dataclass
class PermitTokenPy:
    token_id: uuid.UUID
    evaluation_id: uuid.UUID
    issued_at: int
    expires_at: int
    action_name: str
    signature: bytes | None = None

    def canonical_bytes(self) -> bytes:
        return (
            self.token_id.bytes
            + self.evaluation_id.bytes
            + struct.pack("<qq", self.issued_at, self.expires_at)
            + self.action_name.encode()
        )


KWARGS = dict(
    principal_id="agent-7",
    principal_kind="agent",
    action_name="transfer_funds",
    roles=["payments", "reader"],
    resource="account:1234",
    params={"amount": 250.0, "count": 3},
    ip="10.1.2.3",
    session_id="67e55044-10b1-426f-9247-bb680e5fe0c8",
)

TOKEN_ID = "67e55044-10b1-426f-9247-bb680e5fe0c8"
EVAL_ID = "00112233-4455-6677-8899-aabbccddeeff"


def median_ns(stmt, repeats: int, number: int) -> float:
    runs = timeit.repeat(stmt, repeat=repeats, number=number)
    return statistics.median(runs) / number * 1e9


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=31)
    parser.add_argument("--number", type=int, default=20000)
    parser.add_argument("--loop", type=int, default=0, help="build this many contexts and exit")
    parser.add_argument("--only", choices=["ostrel", "dataclass", "none"], default="ostrel")
    args = parser.parse_args()

    kw = KWARGS
    if args.loop:
        build = {"ostrel": ActionContext, "dataclass": ActionContextPy, "none": None}[args.only]
        if build is None:
            for _ in range(args.loop):
                pass
        else:
            for _ in range(args.loop):
                build(**kw)
        return
    token = PermitToken(TOKEN_ID, EVAL_ID, 1_700_000_000, 1_700_000_030, "transfer_funds")
    token_py = PermitTokenPy(uuid.UUID(TOKEN_ID), uuid.UUID(EVAL_ID), 1_700_000_000, 1_700_000_030,
                             "transfer_funds")
    assert token.canonical_bytes() == token_py.canonical_bytes()

    cases = [
        ("ActionContext(**8 kwargs)", lambda: ActionContext(**kw), lambda: ActionContextPy(**kw)),
        ("PermitToken.canonical_bytes()", token.canonical_bytes, token_py.canonical_bytes),
    ]
    print(f"median per call over {args.repeats} x {args.number} calls")
    print(f"{'operation':32} {'ostrel ns':>10} {'dataclass ns':>13} {'ratio':>7}")
    for name, ours, theirs in cases:
        # Interleaved in one run so that both see the same machine state.
        a = median_ns(ours, args.repeats, args.number)
        b = median_ns(theirs, args.repeats, args.number)
        print(f"{name:32} {a:10.0f} {b:13.0f} {a / b:7.2f}")


if __name__ == "__main__":
    main()
