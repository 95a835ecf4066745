"""ConcurrentMap as a Python class: construction, shard count, methods and
their results, signatures, slots and what the class deliberately lacks."""
import inspect
import os
import sys
import weakref

import pytest

from _vornic import ConcurrentMap

# Registration order, with each method's parameters.
METHODS = {"get": ["key"], "get_val": ["key"], "get_or_insert": ["key", "default"], "set": ["key", "value"],
           "delete": ["key"], "pop_val": ["key"], "contains_key": ["key"],
           "len": [], "clear": [], "keys": [], "values": [], "items": []}


def shard_of(key, n):
    return (hash(key) % 2**64) % n


class TestConstruction:
    def test_explicit_counts_are_exact(self):
        assert ConcurrentMap(3).shard_count == 3
        assert ConcurrentMap(shard_count=5).shard_count == 5
        assert ConcurrentMap(1).shard_count == 1
        assert ConcurrentMap(True).shard_count == 1
        assert ConcurrentMap(1000).shard_count == 1000

    def test_default_follows_available_processors(self):
        m = ConcurrentMap()
        assert ConcurrentMap(None).shard_count == m.shard_count
        n = m.shard_count
        cpus = len(os.sched_getaffinity(0))
        # A CPU quota can only lower the processor count below the affinity set.
        assert n >= 16 and n & (n - 1) == 0
        assert n <= max(16, 1 << (cpus - 1).bit_length())
        if cpus <= 16:
            assert n == 16

    def test_default_on_one_processor_is_sixteen(self):
        saved = os.sched_getaffinity(0)
        try:
            os.sched_setaffinity(0, {min(saved)})
            assert ConcurrentMap().shard_count == 16
        finally:
            os.sched_setaffinity(0, saved)

    def test_zero_shards_refused(self):
        with pytest.raises(ValueError) as info:
            ConcurrentMap(0)
        assert str(info.value) == "shard_count must be greater than zero"
        with pytest.raises(ValueError):
            ConcurrentMap(shard_count=False)

    @pytest.mark.parametrize("bad, exc", [(-1, OverflowError), (2**64, OverflowError), (1.5, TypeError),
                                          ("4", TypeError)])
    def test_conversion_failures_name_the_parameter(self, bad, exc):
        with pytest.raises(exc) as info:
            ConcurrentMap(bad)
        assert info.value.__notes__ == ["while processing 'shard_count'"]

    @pytest.mark.parametrize("n", [2**58, 2**62, 2**64 - 1])
    def test_unallocatable_shard_count_is_memory_error(self, n):
        with pytest.raises(MemoryError):
            ConcurrentMap(n)

    def test_sweeps_leave_unused_shards_untouched(self):
        def rss_mib():
            with open("/proc/self/statm") as f:
                return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") >> 20
        m = ConcurrentMap(2**22)  # 256 MiB of shard array, nearly all unused
        before = rss_mib()
        for k in range(0, 2**40, 2**34):
            m.set(k, k)
        assert len(m) == len(m.keys()) == len(m.items()) == 64
        m.clear()
        assert m.len() == 0 and m.values() == []
        assert rss_mib() - before < 64

    def test_argument_errors_name_the_class(self):
        with pytest.raises(TypeError) as info:
            ConcurrentMap(1, 2)
        assert str(info.value) == "ConcurrentMap.__new__() takes from 0 to 1 positional arguments but 2 were given"
        with pytest.raises(TypeError) as info:
            ConcurrentMap().get_or_insert()
        assert str(info.value) == ("ConcurrentMap.get_or_insert() missing 2 required positional arguments: "
                                   "'key' and 'default'")


class TestClass:
    def test_identity_signatures_and_method_order(self):
        assert ConcurrentMap.__module__ == "builtins"
        assert ConcurrentMap.__qualname__ == ConcurrentMap.__name__ == "ConcurrentMap"
        assert ConcurrentMap.__text_signature__ == "(shard_count=None)"
        assert ConcurrentMap.__doc__.startswith("A highly concurrent, thread-safe hash map")
        names = [n for n in vars(ConcurrentMap) if not n.startswith("__") and n != "shard_count"]
        assert names == list(METHODS)
        m = ConcurrentMap()
        for name, params in METHODS.items():
            assert list(inspect.signature(getattr(m, name)).parameters) == params, name
            assert getattr(ConcurrentMap, name).__doc__, name
        assert ConcurrentMap.shard_count.__doc__ is None

    def test_no_instance_dict_no_weakrefs_read_only_shard_count(self):
        m = ConcurrentMap(4)
        with pytest.raises(AttributeError):
            m.shard_count = 8
        with pytest.raises(AttributeError):
            del m.shard_count
        with pytest.raises(AttributeError):
            m.extra = 1
        with pytest.raises(TypeError):
            weakref.ref(m)
        assert m.shard_count == 4

    def test_not_subscriptable_iterable_or_container(self):
        m = ConcurrentMap()
        m.set(1, 1)
        with pytest.raises(TypeError):
            m[1]
        with pytest.raises(TypeError):
            m[1] = 2
        with pytest.raises(TypeError):
            1 in m
        with pytest.raises(TypeError):
            iter(m)

    def test_subclass_inherits_everything(self):
        class Sub(ConcurrentMap):
            def twice(self, k):
                return 2 * self.get(k)

        s = Sub(7)
        assert isinstance(s, Sub) and type(s) is Sub
        assert s.shard_count == 7
        s.set("a", 21)
        assert s.twice("a") == 42 and len(s) == 1
        s.note = "subclasses have a __dict__"
        assert Sub().shard_count == ConcurrentMap().shard_count


class TestMethods:
    def test_empty_map(self):
        m = ConcurrentMap()
        for key in (0, "k", (1, 2), None, -1):
            assert m.get(key) is None
            assert m.get_val(key) == (False, None)
            assert m.contains_key(key) is False
            assert m.delete(key) is False
            assert m.pop_val(key) == (False, None)
        assert m.len() == 0 and len(m) == 0 and not m
        assert m.keys() == [] and m.values() == [] and m.items() == []

    def test_none_value_is_found(self):
        m = ConcurrentMap()
        m.set("k", None)
        assert m.get("k") is None
        assert m.get_val("k") == (True, None)
        assert m.contains_key("k") is True
        assert m and len(m) == 1

    def test_results_are_the_stored_objects(self):
        m = ConcurrentMap()
        k, v = ("key",), object()
        m.set(k, v)
        assert m.get(k) is v
        found, got = m.get_val(k)
        assert found is True and got is v
        items = m.items()
        assert type(items) is list and type(items[0]) is tuple
        assert items[0][0] is k and items[0][1] is v
        items.append(("extra", 1))
        items.clear()
        assert m.keys()[0] is k and m.values()[0] is v and len(m) == 1
        found, got = m.pop_val(k)
        assert found is True and got is v
        assert m.contains_key(k) is False

    def test_keyword_arguments(self):
        m = ConcurrentMap()
        m.set(value="v", key="k")
        assert m.get(key="k") == "v"
        assert m.get_val(key="k") == (True, "v")
        assert m.contains_key(key="k")
        assert m.pop_val(key="k") == (True, "v")
        m.set(key="k", value="w")
        assert m.delete(key="k") is True

    def test_unhashable_key(self):
        m = ConcurrentMap()
        m.set(1, 1)
        for call in (lambda: m.set([], 1), lambda: m.get([]), lambda: m.get_val({}),
                     lambda: m.get_or_insert([], 1), lambda: m.delete([]), lambda: m.pop_val([]),
                     lambda: m.contains_key(set())):
            with pytest.raises(TypeError, match="unhashable"):
                call()
        assert m.items() == [(1, 1)]

    def test_snapshots_group_by_shard_in_index_order(self):
        for n in (1, 3, 10, 16):
            m = ConcurrentMap(n)
            keys = [*range(-40, 40), 2**61, -(2**62), "a", "b", "c", (1,), 1.5]
            for k in keys:
                m.set(k, repr(k))
            got = m.keys()
            assert sorted(map(repr, got)) == sorted(map(repr, keys))
            shards = [shard_of(k, n) for k in got]
            assert shards == sorted(shards)
            assert m.values() == [repr(k) for k in got]
            assert m.items() == [(k, repr(k)) for k in got]

    def test_clear_and_dealloc_release_contents(self):
        class Probe:
            pass
        m = ConcurrentMap()
        m.set("me", m)  # not collected by gc: only clear breaks the cycle
        before = sys.getrefcount(m)
        p = Probe()
        m.set(p, Probe())
        refs = [weakref.ref(p), weakref.ref(m.get(p))]
        del p
        m.clear()
        assert [r() for r in refs] == [None, None]
        assert sys.getrefcount(m) == before - 1

        m.set(Probe(), Probe())
        refs = [weakref.ref(o) for o in m.items()[0]]
        del m
        assert [r() for r in refs] == [None, None]
