"""Registration and the type-level properties of every class."""
import importlib
import sys
import weakref

import pytest

import _vornic

ALL = ["Channel", "RecvOp", "SendOp", "ConcurrentMap", "ThreadPool", "AtomicInteger",
       "AtomicBoolean", "RwLock", "RwLockReadGuard", "RwLockWriteGuard", "select", "aselect", "AtomicReference"]


def test_all_in_registration_order():
    assert _vornic.__all__ == ALL
    for name in ALL:
        assert hasattr(_vornic, name)


def test_module_doc():
    assert _vornic.__doc__.startswith("The entry point for the compiled PyO3 native extension module `_vornic`.")


@pytest.mark.parametrize("name", [n for n in ALL if n not in ("select", "aselect")])
def test_types_live_in_builtins(name):
    t = getattr(_vornic, name)
    assert t.__module__ == "builtins"
    assert t.__qualname__ == t.__name__ == name
    assert t.__doc__


def test_instantiation_flags():
    for name in ("RwLockReadGuard", "RwLockWriteGuard", "RecvOp", "SendOp"):
        with pytest.raises(TypeError):
            getattr(_vornic, name)()
    _vornic.RwLock()


def test_only_concurrent_map_is_subclassable():
    class M(_vornic.ConcurrentMap):
        pass
    assert isinstance(M(3), _vornic.ConcurrentMap)
    for name in ("AtomicInteger", "AtomicBoolean", "AtomicReference", "Channel", "RwLock", "ThreadPool"):
        with pytest.raises(TypeError):
            type("X", (getattr(_vornic, name),), {})


def test_weakrefs_only_on_thread_pool():
    pool = _vornic.ThreadPool(1)
    try:
        assert weakref.ref(pool)() is pool
    finally:
        pool.shutdown()
    with pytest.raises(TypeError):
        weakref.ref(_vornic.AtomicInteger())
    with pytest.raises(AttributeError):
        _vornic.AtomicInteger().x = 1


def test_select_function():
    assert _vornic.select.__module__ == "_vornic"
    assert _vornic.select.__self__ is _vornic


def test_reimport_shares_type_objects():
    first = sys.modules.pop("_vornic")
    try:
        again = importlib.import_module("_vornic")
        assert again is not first
        for name in ALL:
            if name in ("select", "aselect"):
                assert getattr(again, name) is not getattr(first, name)
                assert getattr(again, name).__self__ is again
            else:
                assert getattr(again, name) is getattr(first, name)
        assert again.__all__ == ALL
    finally:
        sys.modules["_vornic"] = first
