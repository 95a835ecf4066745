"""ConcurrentMap as a Python class: construction, shard count, methods and
their results, signatures, slots, the mutable mapping protocol (checked
against dict), cyclic collection and what the class deliberately lacks."""
import collections.abc
import gc
import inspect
import os
import sys
import threading
import time
import weakref

import pytest
from hypothesis import settings, strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, rule

from _vornic import ConcurrentMap
from conftest import run_threads

# Registration order, with each method's parameters (None: pop's optional
# default has no text-signature form, as dict.pop's has none).
METHODS = {"get": ["key", "default"], "get_val": ["key"], "get_or_insert": ["key", "default"],
           "set": ["key", "value"], "delete": ["key"], "pop_val": ["key"], "contains_key": ["key"],
           "len": [], "clear": [], "keys": [], "values": [], "items": [],
           "setdefault": ["key", "default"], "pop": None, "popitem": [], "update": ["other", "kw"]}


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
            if params is not None:
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

    def test_a_mutable_mapping_with_list_snapshots_and_identity_equality(self):
        m = ConcurrentMap()
        assert isinstance(m, collections.abc.MutableMapping)
        assert not issubclass(ConcurrentMap, dict)
        m[1] = "a"
        twin = ConcurrentMap()
        twin[1] = "a"
        assert m != twin and m == m and hash(m) != hash(twin)
        assert {m: 1}[m] == 1
        assert type(m.keys()) is list and type(m.values()) is list and type(m.items()) is list
        for name in ("keys", "values", "items"):
            assert "as a list (not a view)" in getattr(ConcurrentMap, name).__doc__
        assert "identity" in ConcurrentMap.__doc__

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
        m.set("me", m)
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


class TestMappingProtocol:
    def test_errors_match_dict(self):
        m, d = ConcurrentMap(), {}
        for target in (m, d):
            with pytest.raises(KeyError) as info:
                target[(1, 2)]
            assert info.value.args == ((1, 2),)
            with pytest.raises(KeyError):
                del target["x"]
            with pytest.raises(KeyError):
                target.pop("x")
            with pytest.raises(KeyError):
                target.popitem()
            with pytest.raises(TypeError):
                target[[]] = 1
        for bad in ([1], [(1, 2, 3)], 5, ["ab", "c"]):
            with pytest.raises(Exception) as want:
                d.update(bad)
            with pytest.raises(type(want.value)) as got:
                m.update(bad)
            # dict's text for an element that is no sequence differs between
            # interpreter versions; the others are the same everywhere.
            if bad != [1]:
                assert str(got.value) == str(want.value)
        assert dict(m.items()) == d == {"a": "b"}  # pairs before the bad one stay, as in dict
        with pytest.raises(TypeError, match="^update expected at most 1 argument, got 2$"):
            m.update({}, {})
        m.clear()
        assert m.get(1, "d") == "d" and m.get(key=1) is None
        with pytest.raises(KeyError, match="map is empty"):
            m.popitem()

    def test_update_accepts_mappings_pairs_and_keywords(self):
        class OnlyKeys:  # what dict.update calls a mapping: keys() and [ ]
            def keys(self):
                return ["k"]

            def __getitem__(self, k):
                return k * 2
        m = ConcurrentMap()
        m.update({"a": 1}, b=2)
        m.update([("c", 3)], a=0)
        m.update(OnlyKeys())
        m.update()
        m.update(other=5)  # positional-only parameter: a keyword is a key
        assert dict(m.items()) == {"a": 0, "b": 2, "c": 3, "k": "kk", "other": 5}

    def test_setdefault_has_one_winner(self):
        m = ConcurrentMap()
        got = [None] * 8

        def work(i):
            got[i] = m.setdefault("k", object())
        run_threads(work, 8)
        assert all(g is got[0] for g in got) and m["k"] is got[0]

    def test_iteration_is_over_a_snapshot(self):
        m = ConcurrentMap()
        m.update((i, i) for i in range(100))
        seen = []
        for k in m:  # changing the map while iterating never raises
            seen.append(k)
            m.pop(k)
            m[k + 1000] = k
        assert sorted(seen) == list(range(100)) and len(m) == 100


# Keys drawn so that many are equal across types (1, 1.0, True) and share
# buckets; no NaN: dict finds a NaN key by identity, the map by equality only.
KEYS = st.one_of(st.integers(-4, 4), st.sampled_from([0.0, -0.0, 1.0, 2.5, True, False, "a", "b", (1,), ()]))
VALUES = st.integers(0, 9)


class MappingAgainstDict(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.m, self.d = ConcurrentMap(3), {}

    def both(self, fn):
        """fn applied to the map and to the model: same result, or the same exception type."""
        out = []
        for target in (self.m, self.d):
            try:
                out.append(("ok", fn(target)))
            except Exception as e:  # noqa: BLE001
                out.append(("raised", type(e)))
        assert out[0] == out[1], out

    @rule(k=KEYS, v=VALUES)
    def setitem(self, k, v):
        self.both(lambda t: t.__setitem__(k, v))

    @rule(k=KEYS)
    def getitem(self, k):
        self.both(lambda t: t[k])

    @rule(k=KEYS)
    def delitem(self, k):
        self.both(lambda t: t.__delitem__(k))

    @rule(k=KEYS)
    def contains(self, k):
        self.both(lambda t: k in t)

    @rule(k=KEYS, v=VALUES)
    def get_and_setdefault(self, k, v):
        self.both(lambda t: (t.get(k), t.get(k, v), t.setdefault(k, v)))

    @rule(k=KEYS, v=st.one_of(st.none(), VALUES))
    def pop(self, k, v):
        self.both(lambda t: t.pop(k) if v is None else t.pop(k, v))

    @rule()
    def popitem(self):
        if not self.d:
            self.both(lambda t: t.popitem())
            return
        k, v = self.m.popitem()
        assert self.d.pop(k) == v

    @rule(pairs=st.lists(st.tuples(KEYS, VALUES), max_size=4), as_dict=st.booleans(),
          kw=st.dictionaries(st.sampled_from(["a", "b", "c"]), VALUES, max_size=2))
    def update(self, pairs, as_dict, kw):
        other = dict(pairs) if as_dict else pairs
        self.both(lambda t: t.update(other, **kw))

    @rule()
    def clear(self):
        self.both(lambda t: t.clear())

    @invariant()
    def same_contents(self):
        assert len(self.m) == len(self.d)
        assert dict(self.m.items()) == self.d
        keys = list(self.m)
        assert len(keys) == len(self.d) and set(keys) == set(self.d)


TestMappingAgainstDict = MappingAgainstDict.TestCase
TestMappingAgainstDict.settings = settings(max_examples=150, stateful_step_count=30, deadline=None)


def test_map_in_a_reference_cycle_is_collected():
    class Holder:
        pass
    gc.collect()
    m, h = ConcurrentMap(), Holder()
    h.map = m
    m["me"] = h
    m[h] = "as a key too"
    probe = weakref.ref(h)
    del m, h
    gc.collect()
    assert probe() is None


@pytest.mark.timeout(120)
def test_collections_racing_writers():
    """The collector traverses maps while other threads change them; cycles
    made meanwhile are still found and nothing live is freed."""
    class Holder:
        pass
    shared = ConcurrentMap(4)
    probes = []
    writers_left = [2]
    lock = threading.Lock()

    def work(i):
        if i == 0:
            # A pause between collections: each one stops every thread, and on
            # a slow (sanitized) interpreter back-to-back collections would
            # leave the writers almost no time to run.
            while writers_left[0]:
                gc.collect()
                time.sleep(0.002)
            return
        try:
            for j in range(2000):
                h = Holder()
                h.map = ConcurrentMap(2)
                h.map[j] = h
                probes.append(weakref.ref(h))
                shared[(i, j % 50)] = [j]
                shared.pop((i, (j + 25) % 50), None)
        finally:
            with lock:
                writers_left[0] -= 1
    run_threads(work, 3)
    gc.collect()
    assert all(p() is None for p in probes)
    assert all(type(v) is list and len(v) == 1 for v in shared.values())
