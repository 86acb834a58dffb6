"""Invalidation broadcasting from Python: the in-memory broadcaster, scope views, listeners and their handles."""

import subprocess
import sys
import textwrap
import threading
import time

import pytest

from ostrel import (
    InMemoryInvalidationBroadcaster,
    InvalidationListenerHandle,
    InvalidationScope,
    spawn_invalidation_listener,
)
from ostrel import _ostrel_engine as engine

SESSION = "67e55044-10b1-426f-9247-bb680e5fe0c8"
PATIENCE = 10.0  # upper bound of every wait; passing runs take milliseconds
BROADCASTER_ERROR = "broadcaster must be InMemoryInvalidationBroadcaster or RedisInvalidationBroadcaster"


def wait_until(predicate, timeout=PATIENCE):
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.005)
    return True


class Recorder:
    """A callback that keeps (target_kind, target_id, reason, evaluator) of every scope it sees."""

    def __init__(self):
        self.seen = []
        self.threads = set()

    def __call__(self, scope):
        self.threads.add(threading.get_ident())
        self.seen.append((scope.target_kind, scope.target_id, scope.reason, scope.evaluator))

    def wait_for(self, n):
        assert wait_until(lambda: len(self.seen) >= n), self.seen
        return self.seen


@pytest.fixture
def listening():
    """Listeners spawned through it are aborted after the test."""
    handles = []

    def spawn(broadcaster, callback):
        h = spawn_invalidation_listener(broadcaster, callback)
        handles.append(h)
        return h

    yield spawn
    for h in handles:
        h.abort()


class TestSubscribers:
    def test_count_follows_listeners_and_drops_after_abort(self, listening):
        b = InMemoryInvalidationBroadcaster()
        assert b.subscriber_count == 0
        first = listening(b, Recorder())
        assert b.subscriber_count == 1
        listening(b, Recorder())
        assert b.subscriber_count == 2
        first.abort()
        assert wait_until(lambda: b.subscriber_count == 1)

    def test_only_scopes_published_after_the_listener_are_delivered(self, listening):
        b = InMemoryInvalidationBroadcaster()
        b.publish("role", "before", "r")  # nobody listens: dropped, and no error
        rec = Recorder()
        listening(b, rec)
        b.publish("role", "after", "r")
        assert rec.wait_for(1) == [("role", "after", "r", "manual")]
        time.sleep(0.05)
        assert len(rec.seen) == 1

    def test_every_listener_gets_every_scope_in_order(self, listening):
        b = InMemoryInvalidationBroadcaster()
        recorders = [Recorder() for _ in range(3)]
        for r in recorders:
            listening(b, r)
        for i in range(100):
            b.publish("principal", f"p{i}", "r")
        want = [("principal", f"p{i}", "r", "manual") for i in range(100)]
        for r in recorders:
            assert r.wait_for(100) == want
            assert threading.get_ident() not in r.threads, "callbacks run on runtime workers"


class TestPublish:
    @pytest.mark.parametrize(
        "args, want",
        [
            (("role", "admin", "compromised"), ("role", "admin", "compromised", "manual")),
            (("principal", "agent-7", "r", "drift"), ("principal", "agent-7", "r", "drift")),
            (("session", SESSION, "r"), ("session", SESSION, "r", "manual")),
            # Any UUID form the reader accepts; the view shows the hyphenated lowercase form.
            (("session", "{" + SESSION.upper() + "}", "r"), ("session", SESSION, "r", "manual")),
            (("session", SESSION.replace("-", ""), "r", ""), ("session", SESSION, "r", "")),
            (("role", "", ""), ("role", "", "", "manual")),
        ],
    )
    def test_builds_the_scope(self, listening, args, want):
        b = InMemoryInvalidationBroadcaster()
        rec = Recorder()
        listening(b, rec)
        assert b.publish(*args) is None
        assert rec.wait_for(1) == [want]

    def test_keywords(self, listening):
        b = InMemoryInvalidationBroadcaster()
        rec = Recorder()
        listening(b, rec)
        b.publish(target_kind="role", target_id="ops", reason="r", evaluator="policy")
        assert rec.wait_for(1) == [("role", "ops", "r", "policy")]

    @pytest.mark.parametrize(
        "args, message",
        [
            (("group", "g", "r"), "target_kind must be 'session'|'principal'|'role', got 'group'"),
            (("Role", "admin", "r"), "target_kind must be 'session'|'principal'|'role', got 'Role'"),
            (("", "admin", "r"), "target_kind must be 'session'|'principal'|'role', got ''"),
            # The kind is checked before the id.
            (("group", "not-a-uuid", "r"), "target_kind must be 'session'|'principal'|'role', got 'group'"),
        ],
    )
    def test_unknown_kind(self, args, message):
        with pytest.raises(ValueError) as e:
            InMemoryInvalidationBroadcaster().publish(*args)
        assert str(e.value) == message

    @pytest.mark.parametrize("target_id", ["not-a-uuid", "", SESSION + "0", "admin"])
    def test_session_id_must_be_a_uuid(self, target_id):
        with pytest.raises(ValueError) as e:
            InMemoryInvalidationBroadcaster().publish("session", target_id, "r")
        assert str(e.value).startswith("target_id not a UUID: ")
        assert len(str(e.value)) > len("target_id not a UUID: ")

    @pytest.mark.parametrize(
        "call, message",
        [
            (lambda b: b.publish("role", "admin", "r", None), "argument 'evaluator': "),
            (lambda b: b.publish("role", 5, "r"), "argument 'target_id': "),
            (lambda b: b.publish(b"role", "admin", "r"), "argument 'target_kind': "),
            (
                lambda b: b.publish("role", "admin"),
                "InMemoryInvalidationBroadcaster.publish() missing 1 required positional argument: 'reason'",
            ),
            (
                lambda b: b.publish("role", "admin", "r", "e", "x"),
                "InMemoryInvalidationBroadcaster.publish() takes from 3 to 4 positional arguments but 5 were given",
            ),
            (
                lambda b: b.publish("role", "admin", "r", scope="x"),
                "InMemoryInvalidationBroadcaster.publish() got an unexpected keyword argument 'scope'",
            ),
            (
                lambda b: InMemoryInvalidationBroadcaster(1024),
                "InMemoryInvalidationBroadcaster.__new__() takes 0 positional arguments but 1 was given",
            ),
        ],
    )
    def test_argument_errors(self, call, message):
        with pytest.raises(TypeError) as e:
            call(InMemoryInvalidationBroadcaster())
        assert str(e.value).startswith(message)


class TestScopeView:
    def test_properties_and_repr(self, listening):
        b = InMemoryInvalidationBroadcaster()
        views = []
        listening(b, views.append)
        b.publish("session", SESSION, "device changed", "drift")
        b.publish("principal", 'a "quoted", id', "r")
        assert wait_until(lambda: len(views) == 2)
        s, p = views
        assert type(s) is InvalidationScope
        assert (s.target_kind, s.target_id, s.reason, s.evaluator) == ("session", SESSION, "device changed", "drift")
        assert repr(s) == f"InvalidationScope(target_kind=session, target_id={SESSION}, evaluator=drift)"
        assert repr(p) == 'InvalidationScope(target_kind=principal, target_id=a "quoted", id, evaluator=manual)'
        with pytest.raises(AttributeError):
            s.reason = "other"

    @pytest.mark.parametrize("cls", [InvalidationScope, InvalidationListenerHandle])
    def test_no_constructor(self, cls):
        with pytest.raises(TypeError, match=f"^No constructor defined for {cls.__name__}$"):
            cls()

    @pytest.mark.parametrize(
        "cls", [InMemoryInvalidationBroadcaster, InvalidationScope, InvalidationListenerHandle]
    )
    def test_class_conventions(self, cls):
        assert cls.__module__ == "builtins"
        assert repr(cls) == f"<class '{cls.__name__}'>"
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})

    def test_text_signatures(self):
        assert InMemoryInvalidationBroadcaster.__text_signature__ == "()"
        assert InMemoryInvalidationBroadcaster.publish.__text_signature__ == (
            "($self, target_kind, target_id, reason, evaluator=...)"
        )
        assert spawn_invalidation_listener.__text_signature__ == "(broadcaster, callback)"
        assert InvalidationListenerHandle.abort.__text_signature__ == "($self)"


class TestListener:
    def test_raising_callback_is_reported_and_the_listener_goes_on(self, listening, capfd):
        b = InMemoryInvalidationBroadcaster()
        seen = []

        def callback(scope):
            seen.append(scope.target_id)
            if scope.target_id.startswith("bad"):
                raise ValueError(f"cannot handle {scope.target_id}")

        listening(b, callback)
        for target in ["bad-1", "good", "bad-2", "last"]:
            b.publish("role", target, "r")
        assert wait_until(lambda: len(seen) == 4)
        assert seen == ["bad-1", "good", "bad-2", "last"]
        err = capfd.readouterr().err
        assert err == (
            "[ostrel] invalidation listener callback raised, continuing: ValueError: cannot handle bad-1\n"
            "[ostrel] invalidation listener callback raised, continuing: ValueError: cannot handle bad-2\n"
        )

    def test_callback_that_is_not_callable_fails_at_each_call(self, listening, capfd):
        b = InMemoryInvalidationBroadcaster()
        rec = Recorder()
        listening(b, 42)
        listening(b, rec)
        b.publish("role", "a", "r")
        b.publish("role", "b", "r")
        rec.wait_for(2)
        line = "[ostrel] invalidation listener callback raised, continuing: TypeError: 'int' object is not callable\n"
        # The two lines may still be in flight; collect until both arrived.
        err = ""
        deadline = time.monotonic() + PATIENCE
        while err.count(line) < 2 and time.monotonic() < deadline:
            time.sleep(0.005)
            err += capfd.readouterr().err
        assert err == line * 2

    def test_a_blocking_call_inside_a_callback_is_refused_with_the_internal_fault(self, listening, capfd):
        b = InMemoryInvalidationBroadcaster()
        outcomes = []

        def callback(scope):
            if scope.target_id == "again":
                try:
                    b.publish("role", "nested", "r")
                    outcomes.append("published")
                except BaseException as e:  # the fault is not an Exception
                    outcomes.append((type(e).__name__, isinstance(e, Exception), str(e)))
            else:
                outcomes.append(scope.target_id)

        listening(b, callback)
        b.publish("role", "again", "r")
        b.publish("role", "next", "r")
        assert wait_until(lambda: len(outcomes) == 2)
        assert outcomes == [
            (
                "InternalFault",
                False,
                "cannot block on the shared async runtime from one of its own worker threads",
            ),
            "next",
        ]
        assert capfd.readouterr().err == ""

    def test_lagging_listener_loses_the_oldest_and_continues(self, listening):
        b = InMemoryInvalidationBroadcaster()
        busy = threading.Event()
        release = threading.Event()
        seen = []

        def callback(scope):
            seen.append(int(scope.target_id))
            if len(seen) == 1:
                busy.set()
                release.wait(PATIENCE)

        listening(b, callback)
        b.publish("role", "0", "r")
        assert busy.wait(PATIENCE)
        for i in range(1, 1026):
            b.publish("role", str(i), "r")
        release.set()
        assert wait_until(lambda: len(seen) == 1025), len(seen)
        assert seen == [0] + list(range(2, 1026))

    def test_abort_twice_is_harmless_and_finished_at_once(self, listening):
        b = InMemoryInvalidationBroadcaster()
        h = listening(b, Recorder())
        assert type(h) is InvalidationListenerHandle
        assert h.is_finished is False
        h.abort()
        assert h.is_finished is True
        assert h.abort() is None
        assert h.is_finished is True
        assert wait_until(lambda: b.subscriber_count == 0)

    def test_aborted_listener_receives_nothing_more(self, listening):
        b = InMemoryInvalidationBroadcaster()
        rec = Recorder()
        h = listening(b, rec)
        b.publish("role", "a", "r")
        rec.wait_for(1)
        h.abort()
        assert wait_until(lambda: b.subscriber_count == 0)
        b.publish("role", "b", "r")
        time.sleep(0.05)
        assert rec.seen == [("role", "a", "r", "manual")]

    @pytest.mark.parametrize("broadcaster", [object(), None, "broadcaster", InvalidationScope])
    def test_rejects_other_broadcasters(self, broadcaster):
        with pytest.raises(ValueError) as e:
            spawn_invalidation_listener(broadcaster, print)
        assert str(e.value) == BROADCASTER_ERROR

    def test_argument_messages(self):
        with pytest.raises(TypeError) as e:
            spawn_invalidation_listener(InMemoryInvalidationBroadcaster())
        assert str(e.value) == "spawn_invalidation_listener() missing 1 required positional argument: 'callback'"
        with pytest.raises(TypeError) as e:
            spawn_invalidation_listener(broadcaster=InMemoryInvalidationBroadcaster(), callback=print, x=1)
        assert str(e.value) == "spawn_invalidation_listener() got an unexpected keyword argument 'x'"

    def test_dropping_the_broadcaster_ends_its_listeners(self):
        b = InMemoryInvalidationBroadcaster()
        rec = Recorder()
        handles = [spawn_invalidation_listener(b, rec) for _ in range(2)]
        handle_of_dropped = spawn_invalidation_listener(b, rec)
        del handle_of_dropped  # detached, not aborted: it keeps running until the channel closes
        b.publish("role", "x", "r")
        rec.wait_for(3)
        assert not any(h.is_finished for h in handles)
        del b
        assert wait_until(lambda: all(h.is_finished for h in handles))

    def test_listener_does_not_keep_its_callback_after_it_ends(self):
        import gc
        import weakref

        class Callback:
            def __call__(self, scope):
                pass

        b = InMemoryInvalidationBroadcaster()
        cb = Callback()
        ref = weakref.ref(cb)
        h = spawn_invalidation_listener(b, cb)
        del cb
        gc.collect()
        assert ref() is not None, "the running listener holds its callback"
        del b
        assert wait_until(lambda: h.is_finished)
        assert wait_until(lambda: ref() is None)


def run_python(code):
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=60
    )


class TestInterpreterExit:
    def test_exit_waits_for_the_running_callback_and_calls_no_more(self):
        # The callback is busy when the main thread reaches the end; exit must neither crash nor
        # hang, the running call completes, and the queued scopes are not handed to a dying
        # interpreter.
        r = run_python(
            """
            import sys, threading, time
            from ostrel import InMemoryInvalidationBroadcaster, spawn_invalidation_listener
            started = threading.Event()
            def callback(scope):
                started.set()
                time.sleep(0.3)
                print("done", scope.target_id, flush=True)
            b = InMemoryInvalidationBroadcaster()
            h = spawn_invalidation_listener(b, callback)
            for i in range(50):
                b.publish("role", str(i), "r")
            assert started.wait(10)
            print("exiting", flush=True)
            """
        )
        assert r.returncode == 0, r.stderr
        lines = r.stdout.splitlines()
        assert lines[:2] == ["exiting", "done 0"]
        assert len(lines) <= 3, "at most the call already waiting for the lock runs after exit began"
        assert r.stderr == ""

    def test_exit_with_idle_listeners_and_live_broadcasters(self):
        r = run_python(
            """
            from ostrel import InMemoryInvalidationBroadcaster, spawn_invalidation_listener
            kept = []
            for _ in range(4):
                b = InMemoryInvalidationBroadcaster()
                kept.append((b, spawn_invalidation_listener(b, print)))
            spawn_invalidation_listener(InMemoryInvalidationBroadcaster(), print)
            """
        )
        assert (r.returncode, r.stdout, r.stderr) == (0, "", "")


def test_registered_in_table_order():
    names = list(engine.__all__)
    tail = ["InMemoryInvalidationBroadcaster", "InvalidationScope", "InvalidationListenerHandle",
            "spawn_invalidation_listener"]
    assert [n for n in names if n in tail] == tail
    assert names[-1] == "spawn_invalidation_listener"
