import importlib

import ostrel
from ostrel import _ostrel_engine


def test_import_twice_gives_the_same_module():
    again = importlib.import_module("ostrel._ostrel_engine")
    assert again is _ostrel_engine
    assert isinstance(_ostrel_engine.__all__, list)
    assert ostrel.__all__ == list(_ostrel_engine.__all__)
