"""Gate.evaluate from Python, beside the policy engines a Python team would otherwise reach for.

One policy of ten rules for an agent's tool calls is written three times: as an ostrel policy
document (with the default drift evaluator and one invariant on top), as a Casbin model with
its policy lines, and as Cedar policies. Before anything is timed, every engine answers the same
probe requests and must agree with ostrel on each, so the figures compare equal decisions.

Run (from the repository root, after `make install` or `pip install --no-build-isolation .`):

    python3 -m pip install casbin cedarpy     # the peers; a missing one is reported and skipped
    python3 bench/gate_python_bench.py

Each figure is the median over batches of the time per call. The machine may be shared with
builds, so two clocks are reported: the CPU time of the calling thread (what the call costs; time
spent descheduled is not counted) and the wall clock. Ratios are peer / ostrel on the CPU clock.
"""

from __future__ import annotations

import argparse
import logging
import statistics
import sys
import time
from dataclasses import dataclass
from typing import Callable

from ostrel import ActionContext, Gate

# The ten rules. The three refusals come first, so "first matching rule decides" (ostrel, and
# Casbin's priority effect) and "a matching forbid overrides any permit" (Cedar) agree.
OSTREL_POLICY = """
[[policy]]
name = "no-prod-deletes"
effect = "refuse"
priority = 10
conditions = [{ action = "db.delete" }, { resource = "prod/*" }]

[[policy]]
name = "no-shell"
effect = "refuse"
priority = 10
conditions = [{ action = "shell.*" }]

[[policy]]
name = "no-secrets"
effect = "refuse"
priority = 10
conditions = [{ resource = "secrets/*" }]

[[policy]]
name = "read-tools"
effect = "permit"
priority = 50
conditions = [{ identity_role = "reader" }, { action = "tools.read.*" }]

[[policy]]
name = "search"
effect = "permit"
priority = 50
conditions = [{ identity_role = "agent" }, { action = "tools.search" }]

[[policy]]
name = "small-payments"
effect = "permit"
priority = 50
conditions = [{ identity_role = "billing" }, { action = "payments.send" }, { param_max = { field = "amount", max = 100 } }]

[[policy]]
name = "ci"
effect = "permit"
priority = 50
conditions = [{ identity_kind = "service" }, { action = "ci.*" }]

[[policy]]
name = "jobs"
effect = "permit"
priority = 50
conditions = [{ identity_kind = "scheduler" }, { action = "jobs.*" }]

[[policy]]
name = "staging-reads"
effect = "permit"
priority = 50
conditions = [{ identity_role = "agent" }, { action = "db.read" }, { resource = "staging/*" }]

[[policy]]
name = "workspace-writes"
effect = "permit"
priority = 50
conditions = [{ identity_role = "agent" }, { action = "files.write" }, { resource = "workspace/*" }]
"""

INVARIANTS = [("max_amount", "amount", 1000.0)]

CASBIN_MODEL = """
[request_definition]
r = sub, obj, act, amount

[policy_definition]
p = priority, sub, obj, act, max_amount, eft

[role_definition]
g = _, _

[policy_effect]
e = priority(p.eft) || deny

[matchers]
m = g(r.sub, p.sub) && keyMatch(r.obj, p.obj) && keyMatch(r.act, p.act) && at_most(r.amount, p.max_amount) && r.amount <= 1000
"""

# Subjects are matched through groups: a principal belongs to "any", to "role:{role}" for each
# role and to "kind:{kind}".
CASBIN_POLICY = [
    ["10", "any", "prod/*", "db.delete", "inf", "deny"],
    ["10", "any", "*", "shell.*", "inf", "deny"],
    ["10", "any", "secrets/*", "*", "inf", "deny"],
    ["50", "role:reader", "*", "tools.read.*", "inf", "allow"],
    ["50", "role:agent", "*", "tools.search", "inf", "allow"],
    ["50", "role:billing", "*", "payments.send", "100", "allow"],
    ["50", "kind:service", "*", "ci.*", "inf", "allow"],
    ["50", "kind:scheduler", "*", "jobs.*", "inf", "allow"],
    ["50", "role:agent", "staging/*", "db.read", "inf", "allow"],
    ["50", "role:agent", "workspace/*", "files.write", "inf", "allow"],
]

CEDAR_POLICIES = """
@id("no-prod-deletes")
forbid(principal, action, resource) when { context.action == "db.delete" && context.resource like "prod/*" };
@id("no-shell")
forbid(principal, action, resource) when { context.action like "shell.*" };
@id("no-secrets")
forbid(principal, action, resource) when { context.resource like "secrets/*" };
@id("read-tools")
permit(principal in Role::"reader", action, resource) when { context.action like "tools.read.*" };
@id("search")
permit(principal in Role::"agent", action, resource) when { context.action == "tools.search" };
@id("small-payments")
permit(principal in Role::"billing", action, resource)
  when { context.action == "payments.send" && context.amount <= 100 };
@id("ci")
permit(principal, action, resource) when { principal.kind == "service" && context.action like "ci.*" };
@id("jobs")
permit(principal, action, resource) when { principal.kind == "scheduler" && context.action like "jobs.*" };
@id("staging-reads")
permit(principal in Role::"agent", action, resource)
  when { context.action == "db.read" && context.resource like "staging/*" };
@id("workspace-writes")
permit(principal in Role::"agent", action, resource)
  when { context.action == "files.write" && context.resource like "workspace/*" };
@id("max_amount")
forbid(principal, action, resource) when { context.amount > 1000 };
"""


@dataclass(frozen=True)
class Request:
    principal: str
    kind: str
    roles: tuple[str, ...]
    action: str
    resource: str
    amount: int


PRINCIPALS = {
    "alice": ("agent", ("agent",)),
    "bob": ("user", ("billing", "reader")),
    "ci-bot": ("service", ()),
    "cron": ("scheduler", ()),
}


def request(principal: str, action: str, resource: str = "", amount: int = 0) -> Request:
    kind, roles = PRINCIPALS[principal]
    return Request(principal, kind, roles, action, resource, amount)


# The measured requests: a permit decided by the last rule (every rule before it is examined) and
# a refusal decided by the second.
MEASURED = {
    "permit": request("alice", "files.write", "workspace/notes.md", 5),
    "refuse": request("alice", "shell.exec", "", 0),
}

# One probe per rule and around it; every engine must agree with ostrel on each.
PROBES = [
    *MEASURED.values(),
    request("alice", "db.delete", "prod/users"),
    request("alice", "db.delete", "staging/users"),
    request("bob", "tools.read.file", "secrets/key"),
    request("bob", "tools.read.file", "docs/a"),
    request("alice", "tools.read.file", "docs/a"),
    request("alice", "tools.search"),
    request("bob", "payments.send", "", 100),
    request("bob", "payments.send", "", 101),
    request("ci-bot", "ci.deploy"),
    request("cron", "jobs.nightly"),
    request("cron", "ci.deploy"),
    request("alice", "db.read", "staging/orders"),
    request("alice", "db.read", "prod/orders"),
    request("alice", "files.write", "workspace/big", 5000),
    request("bob", "files.write", "workspace/x"),
]


@dataclass
class Engine:
    name: str
    prepare: Callable[[Request], object]  # the request in the engine's own form
    decide: Callable[[object], bool]  # True for a permit


def ostrel_engine() -> Engine:
    gate = Gate(OSTREL_POLICY, invariants=INVARIANTS)  # drift on, as by default
    assert gate.evaluator_count == 3

    def prepare(r: Request) -> ActionContext:
        return ActionContext(r.principal, r.kind, r.action, roles=list(r.roles),
                             resource=r.resource or None, params={"amount": float(r.amount)})

    return Engine("ostrel", prepare, lambda ctx: gate.evaluate(ctx).is_permit)


def casbin_engine() -> Engine:
    import casbin

    logging.getLogger("casbin").setLevel(logging.CRITICAL)
    model = casbin.Enforcer.new_model(text=CASBIN_MODEL)
    enforcer = casbin.Enforcer(model)
    enforcer.add_function("at_most", lambda value, limit: float(value) <= float(limit))
    enforcer.add_policies(CASBIN_POLICY)
    for principal, (kind, roles) in PRINCIPALS.items():
        enforcer.add_grouping_policy(principal, "any")
        enforcer.add_grouping_policy(principal, f"kind:{kind}")
        for role in roles:
            enforcer.add_grouping_policy(principal, f"role:{role}")

    def prepare(r: Request) -> tuple:
        return (r.principal, r.resource, r.action, r.amount)

    return Engine("casbin", prepare, lambda args: enforcer.enforce(*args))


def cedar_engine() -> Engine:
    import json

    import cedarpy

    policies = cedarpy.PolicySet.from_str(CEDAR_POLICIES)
    entities = []
    roles = sorted({role for _, rs in PRINCIPALS.values() for role in rs})
    for role in roles:
        entities.append({"uid": {"type": "Role", "id": role}, "attrs": {}, "parents": []})
    for principal, (kind, rs) in PRINCIPALS.items():
        entities.append({
            "uid": {"type": "User", "id": principal},
            "attrs": {"kind": kind},
            "parents": [{"type": "Role", "id": role} for role in rs],
        })
    entities = cedarpy.Entities.from_json_str(json.dumps(entities))

    def prepare(r: Request) -> dict:
        return {
            "principal": f'User::"{r.principal}"',
            "action": 'Action::"call"',
            "resource": 'Resource::"tool"',
            "context": {"action": r.action, "resource": r.resource, "amount": r.amount},
        }

    return Engine("cedarpy", prepare, lambda req: cedarpy.is_authorized(req, policies, entities).allowed)


def check_agreement(reference: Engine, engine: Engine) -> None:
    for r in PROBES:
        want = reference.decide(reference.prepare(r))
        got = engine.decide(engine.prepare(r))
        if got != want:
            raise SystemExit(f"{engine.name} decides {got} where ostrel decides {want} for {r}")


@dataclass
class Timing:
    cpu_us: float
    wall_us: float


def measure(call: Callable[[], object], batch: int, batches: int) -> Timing:
    for _ in range(batch):  # warm-up
        call()
    cpu, wall = [], []
    for _ in range(batches):
        c0, w0 = time.thread_time_ns(), time.perf_counter_ns()
        for _ in range(batch):
            call()
        c1, w1 = time.thread_time_ns(), time.perf_counter_ns()
        cpu.append((c1 - c0) / batch / 1000)
        wall.append((w1 - w0) / batch / 1000)
    return Timing(statistics.median(cpu), statistics.median(wall))


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--batch", type=int, default=2000, help="calls per timed batch (ostrel runs 10 times as many)")
    parser.add_argument("--batches", type=int, default=15, help="timed batches per figure")
    args = parser.parse_args()

    reference = ostrel_engine()
    engines = [reference]
    for make, package in ((casbin_engine, "casbin"), (cedar_engine, "cedarpy")):
        try:
            engine = make()
        except ImportError:
            print(f"peer {package} is not installed (python3 -m pip install {package}); skipped")
            continue
        check_agreement(reference, engine)
        engines.append(engine)
    print(f"{len(engines)} engines agree on {len(PROBES)} probe requests\n")

    results: dict[tuple[str, str, str], Timing] = {}
    for engine in engines:
        batch = args.batch * (10 if engine is reference else 1)
        for scenario, r in MEASURED.items():
            prebuilt = engine.prepare(r)
            expected = scenario == "permit"
            assert engine.decide(prebuilt) is expected, (engine.name, scenario)
            results[(engine.name, scenario, "prebuilt")] = measure(
                lambda: engine.decide(prebuilt), batch, args.batches)
            results[(engine.name, scenario, "built in loop")] = measure(
                lambda: engine.decide(engine.prepare(r)), batch, args.batches)

    print(f"{'engine':<9} {'request':<7} {'context':<14} {'cpu us/call':>12} {'wall us/call':>13} {'x ostrel':>9}")
    for (name, scenario, how), t in results.items():
        base = results[("ostrel", scenario, how)].cpu_us
        print(f"{name:<9} {scenario:<7} {how:<14} {t.cpu_us:>12.3f} {t.wall_us:>13.3f} {t.cpu_us / base:>9.1f}")

    peers = [e.name for e in engines if e is not reference]
    print()
    for scenario in MEASURED:
        own = results[("ostrel", scenario, "prebuilt")].cpu_us
        line = f"{scenario}: Gate.evaluate {own:.3f} us/call ({'under' if own < 2 else 'NOT under'} 2 us)"
        if peers:
            fastest = min(peers, key=lambda p: results[(p, scenario, "prebuilt")].cpu_us)
            ratio = results[(fastest, scenario, "prebuilt")].cpu_us / own
            line += f"; fastest peer {fastest} is {ratio:.1f} times slower ({'meets' if ratio >= 10 else 'misses'} 10x)"
        print(line)
    return 0


if __name__ == "__main__":
    sys.exit(main())
