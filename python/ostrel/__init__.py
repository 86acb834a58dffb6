"""ostrel: an authorization gate in front of every action of agents, users, services and schedulers."""

from ostrel import _ostrel_engine
from ostrel._ostrel_engine import *  # noqa: F401,F403

__all__ = list(_ostrel_engine.__all__)
