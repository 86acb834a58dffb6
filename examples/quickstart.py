"""A first look at ostrel: a gate in front of the tool calls of AI agents.

The gate is built from examples/agent_policy.toml, with the default drift detectors, two hard
invariants, and an in-process broadcaster whose listener hears about every withdrawn session.
Then a few agents try their luck. Each numbered line is one Gate.evaluate and its verdict.
"""

from __future__ import annotations

import datetime
import pathlib
import queue
import uuid
import zoneinfo

from ostrel import (
    ActionContext,
    Gate,
    InMemoryInvalidationBroadcaster,
    Verdict,
    spawn_invalidation_listener,
)

POLICY_FILE = pathlib.Path(__file__).with_name("agent_policy.toml")

# Whatever the policy file says, no refund above 200 and no session beyond 500 actions.
INVARIANTS = [("refund_cap", "amount", 200.0)]
MAX_SESSION_ACTIONS = 500

step = 0


def show(what: str, verdict: Verdict) -> Verdict:
    """Prints one evaluation: what was attempted, then the verdict in a line of its own."""
    global step
    step += 1
    if verdict.is_permit:
        token = verdict.permit_token
        detail = f"token {verdict.token_id[:8]}, valid {token.expires_at - token.issued_at}s"
    elif verdict.is_refuse:
        detail = f"[{verdict.code}] {verdict.evaluator}: {verdict.reason}"
    else:
        detail = f"{verdict.evaluator}: {verdict.reason}"
    print(f"{step:>3}. {what:<52} -> {verdict.kind.upper():<10} {detail}")
    return verdict


def agent(name: str, action: str, roles: list[str], **kwargs) -> ActionContext:
    return ActionContext(name, "agent", action, roles=roles, **kwargs)


def main() -> None:
    policy_text = POLICY_FILE.read_text(encoding="utf-8")

    # Invalidations (a session withdrawn by the drift detectors) are announced on this
    # broadcaster; the listener runs on the engine's own threads, so it only queues what it hears.
    broadcaster = InMemoryInvalidationBroadcaster()
    heard: queue.Queue = queue.Queue()
    listener = spawn_invalidation_listener(broadcaster, heard.put)

    gate = Gate(
        policy_text,
        invariants=INVARIANTS,
        max_session_actions=MAX_SESSION_ACTIONS,
        broadcaster=broadcaster,
    )
    print(f"gate from {POLICY_FILE.name}: {gate.evaluator_count} evaluators (policy, drift, invariants)\n")

    print("Permits and refusals")
    show("support-bot reads a knowledge-base article", gate.evaluate(agent("support-bot", "kb.read.article", ["support"])))
    ticket = agent("support-bot", "tickets.reply", ["support"])
    ticket.with_param("queue", "billing")
    show("support-bot answers a billing ticket", gate.evaluate(ticket))
    show("support-bot asks for a shell", gate.evaluate(agent("support-bot", "shell.exec", ["support"])))
    show(
        "support-bot exports the customer table",
        gate.evaluate(agent("support-bot", "crm.export", ["support"], resource="customers/all")),
    )

    print("\nA parameter limit in the policy, an invariant above every policy")
    refund = "payments.refund"
    show("support-bot refunds 30", gate.evaluate(agent("support-bot", refund, ["support"], params={"amount": 30})))
    show("support-bot refunds 120", gate.evaluate(agent("support-bot", refund, ["support"], params={"amount": 120})))
    show("billing-bot refunds 120", gate.evaluate(agent("billing-bot", refund, ["billing"], params={"amount": 120})))
    show("billing-bot refunds 5000", gate.evaluate(agent("billing-bot", refund, ["billing"], params={"amount": 5000})))

    print("\nA rate limit: three searches a minute per agent")
    for i in range(1, 5):
        show(f"research-bot searches the web (call {i})", gate.evaluate(agent("research-bot", "tools.search", [])))

    print("\nA time window: deploys from 07:00 to 20:00 in Berlin")
    berlin = datetime.datetime.now(zoneinfo.ZoneInfo("Europe/Berlin"))
    show(
        f"release-bot deploys at {berlin:%H:%M} Berlin time",
        gate.evaluate(agent("release-bot", "deploy.production", ["release"])),
    )

    print("\nDrift: the session's address changes halfway")
    session = str(uuid.uuid4())
    home = dict(session_id=session, origin_ip="203.0.113.7")
    show("support-bot, session started at 203.0.113.7", gate.evaluate(
        agent("support-bot", "kb.read.faq", ["support"], ip="203.0.113.7", **home)))
    show("the same session, now from 198.51.100.23", gate.evaluate(
        agent("support-bot", "kb.read.faq", ["support"], ip="198.51.100.23", **home)))
    scope = heard.get(timeout=10)
    print(f"     listener heard: {scope.target_kind} {scope.target_id} withdrawn by {scope.evaluator}")

    print("\nObserve-only: a gate in shadow mode answers permit and only reports")
    shadow = Gate(policy_text, invariants=INVARIANTS, observe_only=True)
    show("support-bot asks for a shell (shadow gate)", shadow.evaluate(agent("support-bot", "shell.exec", ["support"])))

    print("\nHot reload: an incident freezes refunds, without restarting anything")
    freeze = '[[policy]]\nname = "incident-freeze"\neffect = "refuse"\npriority = 0\nconditions = [{ action = "payments.*" }]\n'
    gate.reload(freeze + policy_text)
    show("support-bot refunds 30 during the freeze", gate.evaluate(
        agent("support-bot", refund, ["support"], params={"amount": 30})))
    try:
        gate.reload("[[policy]]\nname = 'half-written")
    except ValueError as e:
        print(f"     a broken document is refused and the running rules stay: {str(e).splitlines()[0]}")
    show("support-bot refunds 30, freeze still on", gate.evaluate(
        agent("support-bot", refund, ["support"], params={"amount": 30})))
    gate.reload(policy_text)
    show("support-bot refunds 30 after the incident", gate.evaluate(
        agent("support-bot", refund, ["support"], params={"amount": 30})))

    listener.abort()


if __name__ == "__main__":
    main()
