"""Type stubs for the compiled core of the ostrel gate engine."""

from collections.abc import Callable, Sequence
from typing import final

__all__: list[str]

@final
class Gate:
    """The authorization gate: policy engine, drift evaluator and invariants over each ActionContext."""

    def __new__(
        cls,
        policy_toml: str,
        invariants: Sequence[tuple[str, str, float]] = ...,
        observe_only: bool = False,
        max_session_actions: int | None = None,
        enable_drift: bool = True,
        token_signer: None = None,
        geo_drift_max_km: float | None = None,
        rate_store: None = None,
        broadcaster: InMemoryInvalidationBroadcaster | None = None,
    ) -> Gate: ...
    @staticmethod
    def from_dict(
        policies: object,
        invariants: Sequence[tuple[str, str, float]] = ...,
        observe_only: bool = False,
        max_session_actions: int | None = None,
        enable_drift: bool = True,
        token_signer: None = None,
        geo_drift_max_km: float | None = None,
        rate_store: None = None,
        broadcaster: InMemoryInvalidationBroadcaster | None = None,
    ) -> Gate: ...
    @staticmethod
    def from_json_string(
        json_string: str,
        invariants: Sequence[tuple[str, str, float]] = ...,
        observe_only: bool = False,
        max_session_actions: int | None = None,
        enable_drift: bool = True,
        token_signer: None = None,
        geo_drift_max_km: float | None = None,
        rate_store: None = None,
        broadcaster: InMemoryInvalidationBroadcaster | None = None,
    ) -> Gate: ...
    @staticmethod
    def from_json_file(
        path: str,
        invariants: Sequence[tuple[str, str, float]] = ...,
        observe_only: bool = False,
        max_session_actions: int | None = None,
        enable_drift: bool = True,
        token_signer: None = None,
        geo_drift_max_km: float | None = None,
        rate_store: None = None,
        broadcaster: InMemoryInvalidationBroadcaster | None = None,
    ) -> Gate: ...
    def evaluate(self, ctx: ActionContext) -> Verdict: ...
    def reload(self, policy_toml: str) -> None: ...
    @property
    def evaluator_count(self) -> int: ...

@final
class ActionContext:
    """One attempted action: who acts, what is attempted, in which session, from where."""

    def __new__(
        cls,
        principal_id: str,
        principal_kind: str,
        action_name: str,
        roles: Sequence[str] = ...,
        resource: str | None = None,
        params: dict[str, float] | None = None,
        ip: str | None = None,
        session_id: str | None = None,
        current_geo: GeoLocation | None = None,
        origin_geo: GeoLocation | None = None,
        origin_ip: str | None = None,
        device: DeviceFingerprint | None = None,
        origin_device: DeviceFingerprint | None = None,
        session_started_at: int | None = None,
        action_count: int | None = None,
    ) -> ActionContext: ...
    def with_param(self, key: str, value: object) -> None: ...

@final
class GeoLocation:
    """Where an action or a session comes from."""

    def __new__(
        cls,
        country_code: str,
        region: str | None = None,
        city: str | None = None,
        latitude: float | None = None,
        longitude: float | None = None,
    ) -> GeoLocation: ...
    @property
    def country_code(self) -> str: ...
    @property
    def region(self) -> str | None: ...
    @property
    def city(self) -> str | None: ...
    @property
    def latitude(self) -> float | None: ...
    @property
    def longitude(self) -> float | None: ...
    def distance_km(self, other: GeoLocation) -> float | None: ...

@final
class DeviceFingerprint:
    """The device an action or a session comes from."""

    def __new__(cls, hash: str, description: str | None = None) -> DeviceFingerprint: ...
    @property
    def hash(self) -> str: ...
    @property
    def description(self) -> str | None: ...

@final
class Verdict:
    """The answer of a gate: permit, refuse or invalidate. Instances come from Gate.evaluate."""

    @property
    def kind(self) -> str: ...
    @property
    def evaluator(self) -> str | None: ...
    @property
    def reason(self) -> str | None: ...
    @property
    def code(self) -> str | None: ...
    @property
    def token_id(self) -> str | None: ...
    @property
    def is_permit(self) -> bool: ...
    @property
    def is_refuse(self) -> bool: ...
    @property
    def is_invalidate(self) -> bool: ...
    @property
    def permit_token(self) -> PermitToken | None: ...
    @property
    def signature(self) -> bytes | None: ...

@final
class PermitToken:
    """Proof that a gate permitted an action; valid for 30 seconds."""

    def __new__(
        cls,
        token_id: str,
        evaluation_id: str,
        issued_at: int,
        expires_at: int,
        action_name: str,
        signature: bytes | Sequence[int] | None = None,
    ) -> PermitToken: ...
    @property
    def token_id(self) -> str: ...
    @property
    def evaluation_id(self) -> str: ...
    @property
    def issued_at(self) -> int: ...
    @property
    def expires_at(self) -> int: ...
    @property
    def action_name(self) -> str: ...
    @property
    def signature(self) -> bytes | None: ...
    def canonical_bytes(self) -> bytes: ...

@final
class InMemoryInvalidationBroadcaster:
    """Announces invalidations to the listeners of this process."""

    def __new__(cls) -> InMemoryInvalidationBroadcaster: ...
    def publish(self, target_kind: str, target_id: str, reason: str, evaluator: str = ...) -> None: ...
    @property
    def subscriber_count(self) -> int: ...

@final
class InvalidationScope:
    """Whose authority is withdrawn, why, and by whom; passed to listener callbacks."""

    @property
    def target_kind(self) -> str: ...
    @property
    def target_id(self) -> str: ...
    @property
    def reason(self) -> str: ...
    @property
    def evaluator(self) -> str: ...

@final
class InvalidationListenerHandle:
    """A running invalidation listener."""

    def abort(self) -> None: ...
    @property
    def is_finished(self) -> bool: ...

def spawn_invalidation_listener(
    broadcaster: InMemoryInvalidationBroadcaster, callback: Callable[[InvalidationScope], object]
) -> InvalidationListenerHandle: ...
