"""The key protocol of ConcurrentMap: hashing once, comparing outside the shard
locks with the stored key on the left, identity fast paths, repeated passes,
failures that leave the map unchanged, re-entrant finalizers, a model check
against dict, and reference leaks."""
import gc
import sys
import threading

import pytest
from hypothesis import given, settings, strategies as st

from _vornic import ConcurrentMap
from conftest import assert_no_leak, run_threads


class Key:
    """Hash value chosen by the test; equal to another Key with the same tag.
    Counts its hashes and logs every comparison as (self, other)."""

    def __init__(self, tag, h=7, log=None):
        self.tag, self.h, self.hashes = tag, h, 0
        self.log = log if log is not None else []

    def __hash__(self):
        self.hashes += 1
        return self.h

    def __eq__(self, other):
        self.log.append((self, other))
        return isinstance(other, Key) and self.tag == other.tag

    def __repr__(self):
        return f"Key({self.tag!r})"


class Boom(Exception):
    pass


class Raising(Key):
    """A key whose comparison always raises."""

    __hash__ = Key.__hash__

    def __eq__(self, other):
        self.log.append((self, other))
        raise Boom(self.tag)


class Falsy:
    def __bool__(self):
        raise Boom("truth")


class BadTruth(Key):
    """__eq__ succeeds, but the truth test of its result raises."""

    __hash__ = Key.__hash__

    def __eq__(self, other):
        self.log.append((self, other))
        return Falsy()


def snapshot(m):
    return [(id(k), id(v)) for k, v in m.items()]


class TestBuckets:
    def test_minus_one_and_minus_two_share_a_bucket(self):
        assert hash(-1) == hash(-2) == -2
        m = ConcurrentMap(16)
        for k in (15, -1, 3, -2):
            m.set(k, str(k))
        # -1 and -2 land in shard 14 of 16 (2**64 - 2 = 14 mod 16), in insertion order.
        assert m.keys() == [3, -1, -2, 15]
        assert (m.get(-1), m.get(-2), len(m)) == ("-1", "-2", 4)
        assert m.delete(-1) and m.keys() == [3, -2, 15]

    def test_equal_keys_with_different_hashes_do_not_meet(self):
        m = ConcurrentMap(1)
        a, b = Key("same", h=1), Key("same", h=2)
        m.set(a, 1)
        m.set(b, 2)
        assert len(m) == 2 and a.log == [] and b.log == []

    def test_nan_keys(self):
        x, y = float("nan"), float("nan")
        m = ConcurrentMap()
        m.set(x, 1)
        # Lookup never uses identity: NaN is not equal to itself.
        assert m.get(x) is None and m.get_val(x) == (False, None) and m.contains_key(x) is False
        # The writers do.
        m.set(x, 2)
        assert len(m) == 1 and m.values() == [2]
        assert m.get_or_insert(x, 3) == 2
        m.set(y, 4)  # another NaN object is another pair, hash value or not
        assert len(m) == 2
        assert m.pop_val(x) == (True, 2)
        assert m.delete(y) is True and len(m) == 0
        z = float("nan")
        assert m.get_or_insert(z, 5) == 5 and m.get_or_insert(z, 6) == 5 and len(m) == 1


class TestKeyCalls:
    CALLS = {
        "get": lambda m, k: m.get(k),
        "get_val": lambda m, k: m.get_val(k),
        "contains_key": lambda m, k: m.contains_key(k),
        "set": lambda m, k: m.set(k, "new"),
        "delete": lambda m, k: m.delete(k),
        "pop_val": lambda m, k: m.pop_val(k),
        "get_or_insert": lambda m, k: m.get_or_insert(k, "dflt"),
    }

    @pytest.mark.parametrize("name", CALLS)
    def test_hashed_once_and_stored_key_on_the_left(self, name):
        log = []
        stored = [Key(i, h=5, log=log) for i in range(3)]
        m = ConcurrentMap(2)
        for k in stored:
            m.set(k, "old")
        log.clear()
        probe = Key(2, h=5, log=log)
        self.CALLS[name](m, probe)
        assert probe.hashes == 1
        # Bucket order, each stored key once, always as the left operand.
        assert len(log) == 3 and all(a is s and b is probe for (a, b), s in zip(log, stored))
        log.clear()
        stored = m.keys()
        miss = Key("absent", h=5, log=log)
        self.CALLS[name](m, miss)
        assert miss.hashes == 1
        assert len(log) == len(stored) and all(a is s and b is miss for (a, b), s in zip(log, stored))

    def test_fast_paths_compare_nothing(self):
        log = []
        k = Key("k", log=log)
        m = ConcurrentMap()
        m.set(k, 1)         # empty bucket
        m.set(k, 2)         # same object
        assert m.get_or_insert(Key("other", h=8), 0) == 0
        assert m.pop_val(k) == (True, 2)
        m.set(k, 3)
        assert m.delete(k) is True
        assert log == [] and k.hashes == 5

    @pytest.mark.parametrize("cls, exc", [(Raising, Boom), (BadTruth, Boom)])
    @pytest.mark.parametrize("name", CALLS)
    def test_failed_comparison_changes_nothing(self, cls, exc, name):
        bad = cls("bad", h=3)
        lone = ConcurrentMap(4)
        lone.set(bad, "v")  # into an empty bucket: no comparison
        assert bad.log == [] and lone.items() == [(bad, "v")]
        with pytest.raises(exc):
            lone.get(bad)  # lookups compare even the very same object
        class Neighbour:  # answers for itself, never defers to bad's __eq__
            def __hash__(self):
                return 3

            def __eq__(self, other):
                return self is other
        m = ConcurrentMap(4)
        m.set(Neighbour(), "n")
        m.set(bad, "v")  # compared as the right operand only
        m.set("elsewhere", 1)
        bad.log.clear()
        before = snapshot(m)
        with pytest.raises(exc):
            self.CALLS[name](m, Key("probe", h=3))
        assert snapshot(m) == before
        # The very same object needs no comparison.
        m.set(bad, "v2")
        assert m.pop_val(bad) == (True, "v2")
        assert len(bad.log) == 1

    def test_result_judged_by_truth_value(self):
        class Truthy(Key):
            __hash__ = Key.__hash__

            def __eq__(self, other):
                return [1] if self.tag == other.tag else 0
        m = ConcurrentMap()
        a = Truthy("a", h=1)
        m.set(a, 1)
        m.set(Truthy("a", h=1), 2)
        m.set(Truthy("b", h=1), 3)
        assert len(m) == 2 and m.get(Truthy("a", h=1)) == 2


class TestPasses:
    def make(self, action):
        """A map of one shard holding x, whose first comparison runs action(m)."""
        m = ConcurrentMap(1)
        log = []

        class Hook(Key):
            __hash__ = Key.__hash__
            fired = False

            def __eq__(self, other):
                log.append((self, other))
                if not Hook.fired:
                    Hook.fired = True
                    action(m)
                return isinstance(other, Key) and self.tag == other.tag

        x = Hook("x", log=log)
        m.set(x, "vx")
        return m, x, log

    def test_key_added_during_comparison_gets_a_second_pass(self):
        y = Key("y")
        m, x, log = self.make(lambda m: m.set(y, "vy"))
        y.log = log
        k = Key("k", log=log)
        m.set(k, "vk")
        # x's comparison ran the nested set (which compared x with y), then a
        # second pass compared only the new key y.
        assert [(a.tag, b.tag) for a, b in log] == [("x", "k"), ("x", "y"), ("y", "k")]
        assert m.keys() == [x, y, k] and k.hashes == 1

    def test_second_pass_for_get_or_insert_and_remove(self):
        y = Key("y")
        m, x, log = self.make(lambda m: m.set(y, "vy"))
        y.log = log
        k = Key("k", log=log)
        assert m.get_or_insert(k, "vk") == "vk"
        assert [a.tag for a, b in log if b is k] == ["x", "y"]
        assert m.keys() == [x, y, k]

        z = Key("z")
        m2, x2, log2 = self.make(lambda m: m.set(z, "vz"))
        z.log = log2
        absent = Key("absent", log=log2)
        assert m2.delete(absent) is False
        assert [a.tag for a, b in log2 if b is absent] == ["x", "z"]
        assert m2.keys() == [x2, z]

    def test_equal_key_removed_during_comparison(self):
        # x compares equal to k but is gone by the time the write re-checks:
        # set inserts k afresh, delete finds nothing.
        m, x, log = self.make(lambda m: m.delete(x))
        m.set(Key("x"), "new")
        assert [(k.tag, v) for k, v in m.items()] == [("x", "new")] and m.keys()[0] is not x

        m, x, log = self.make(lambda m: m.delete(x))
        assert m.pop_val(Key("x")) == (False, None) and len(m) == 0

    @pytest.mark.parametrize("op", ["set", "delete"])
    def test_equal_key_that_leaves_and_returns_is_compared_again(self, op):
        # x equals the probe but leaves during that comparison; y takes its
        # place, and y's comparison puts x back. The commit must compare x
        # again rather than skip it as already compared: set would store the
        # key twice, delete would miss it.
        class Y(Key):
            __hash__ = Key.__hash__

            def __eq__(self, other):
                if not self.log:
                    self.log.append(None)
                    m.set(x, "back")
                return Key.__eq__(self, other)

        y = Y("y")
        m, x, _ = self.make(lambda m: (m.delete(x), m.set(y, "vy")))
        if op == "set":
            m.set(Key("x"), "new")
            assert m.keys() == [y, x] and m.get(Key("x")) == "new"
        else:
            assert m.delete(Key("x")) is True and m.keys() == [y]

    def test_get_or_insert_returns_value_seen_by_the_comparison(self):
        m, x, log = self.make(lambda m: m.set(x, "replaced meanwhile"))
        assert m.get_or_insert(Key("x"), "dflt") == "vx"
        assert m.get(Key("x")) == "replaced meanwhile" and len(m) == 1


@pytest.mark.timeout(30)
class TestReentrantFinalizers:
    """Releasing a replaced or removed object runs its finalizer, which uses the
    same map. The release happens after the shard lock is dropped, so this
    cannot deadlock; run in a thread so a deadlock fails instead of hanging."""

    def run(self, body):
        run_threads(lambda i: body(), 1, timeout=20)

    def make_value(self, m, seen):
        class Value:
            def __del__(self):
                seen.append(m.get("probe"))
                m.set("from finalizer", len(seen))
        return Value()

    @pytest.mark.parametrize("how", ["set", "delete", "pop_val", "clear"])
    def test_finalizer_uses_the_map(self, how):
        def body():
            m = ConcurrentMap(1)  # every key in the finalizer's shard
            seen = []
            m.set("probe", "p")
            m.set("victim", self.make_value(m, seen))
            if how == "set":
                m.set("victim", 0)
            elif how == "delete":
                assert m.delete("victim") is True
            elif how == "pop_val":
                assert m.pop_val("victim")[0] is True
            else:
                m.clear()
            gc.collect()
            assert seen == ["p" if how != "clear" else None]
            assert m.get("from finalizer") == 1
        self.run(body)

    def test_removed_key_finalizer_uses_the_map(self):
        def body():
            m = ConcurrentMap(1)
            seen = []

            class K:
                def __hash__(self):
                    return 1

                def __del__(self):
                    seen.append(m.contains_key("other"))
                    m.set("other", 2)
            m.set("other", 1)
            m.set(K(), "v")
            [k] = [k for k in m.keys() if isinstance(k, K)]
            m.delete(k)
            del k
            assert seen == [True] and m.get("other") == 2
        self.run(body)

    def test_comparison_uses_the_same_shard(self):
        def body():
            m = ConcurrentMap(1)

            class Nosy(Key):
                __hash__ = Key.__hash__

                def __eq__(self, other):
                    m.set("side", (m.get("side") or 0) + 1)
                    return self.tag == other.tag
            m.set(Nosy("a"), 1)
            assert m.get(Nosy("a")) == 1 and m.get("side") == 1
            m.set(Nosy("a"), 2)
            assert m.pop_val(Nosy("a")) == (True, 2)
            assert m.get("side") == 3
        self.run(body)


# ---- model check against dict ------------------------------------------------

class Collide:
    """Equal by tag; every instance hashes to 1, sharing int 1's bucket."""

    def __init__(self, tag):
        self.tag = tag

    def __hash__(self):
        return 1

    def __eq__(self, other):
        return isinstance(other, Collide) and self.tag == other.tag

    def __repr__(self):
        return f"Collide({self.tag})"


keys = st.one_of(st.integers(-3, 6), st.sampled_from(["a", "b"]), st.builds(Collide, st.integers(0, 3)))
values = st.integers(0, 5)
ops = st.lists(st.one_of(
    st.tuples(st.just("set"), keys, values),
    st.tuples(st.just("get_or_insert"), keys, values),
    st.tuples(st.sampled_from(["get", "get_val", "delete", "pop_val", "contains_key"]), keys),
    st.tuples(st.sampled_from(["len", "clear", "snapshot"])),
), max_size=60)


@settings(max_examples=300, deadline=None)
@given(shards=st.sampled_from([1, 2, 3, 16]), program=ops)
def test_matches_dict(shards, program):
    m, d = ConcurrentMap(shards), {}
    for op, *args in program:
        if op == "set":
            m.set(*args)
            d[args[0]] = args[1]
        elif op == "get_or_insert":
            assert m.get_or_insert(*args) == d.setdefault(*args)
        elif op == "get":
            assert m.get(args[0]) == d.get(args[0])
        elif op == "get_val":
            assert m.get_val(args[0]) == ((True, d[args[0]]) if args[0] in d else (False, None))
        elif op == "delete":
            assert m.delete(args[0]) is (d.pop(args[0], m) is not m)
        elif op == "pop_val":
            assert m.pop_val(args[0]) == ((True, d.pop(args[0])) if args[0] in d else (False, None))
        elif op == "contains_key":
            assert m.contains_key(args[0]) is (args[0] in d)
        elif op == "len":
            assert len(m) == m.len() == len(d)
        elif op == "clear":
            m.clear()
            d.clear()
        else:
            # Same key objects (dict also keeps the first of equal keys).
            assert sorted((id(k), v) for k, v in m.items()) == sorted((id(k), v) for k, v in d.items())
    assert sorted(map(id, m.keys())) == sorted(map(id, d))


# ---- reference leaks -----------------------------------------------------------

class Obj:
    pass


class Plain:
    """Like Key, without counters or logs (which would hold references)."""

    def __init__(self, tag, h):
        self.tag, self.h = tag, h

    def __hash__(self):
        return self.h

    def __eq__(self, other):
        return isinstance(other, Plain) and self.tag == other.tag


class TestLeaks:
    def test_every_operation(self):
        m = ConcurrentMap(4)
        k, k_equal, v, v2 = Plain("k", 9), Plain("k", 9), Obj(), Obj()
        other = Plain("other", 9)
        objs = (k, k_equal, v, v2, other)

        def cycle():
            m.set(other, v2)         # a neighbour in the bucket forces comparisons
            m.set(k, v)              # append after comparing other (a spilled bucket)
            m.set(k, v2)             # identity fast path
            m.set(k_equal, v)        # equal object: slow path
            m.get(k_equal)
            m.get_val(k)
            m.get(Plain("miss", 9))
            m.contains_key(k_equal)
            m.get_or_insert(k_equal, v2)
            m.keys(), m.values(), m.items(), m.len(), len(m)
            m.pop_val(k)
            m.get_or_insert(k_equal, v)  # insert through get_or_insert
            m.delete(k_equal)
            m.delete(k_equal)           # miss after comparing
            m.clear()
        assert_no_leak(cycle, objs=objs)
        # Native blocks (tables, spilled buckets) come from the same allocator.
        blocks = sys.getallocatedblocks()
        for _ in range(5000):
            cycle()
        assert sys.getallocatedblocks() - blocks < 100

    def test_error_paths(self):
        m = ConcurrentMap(1)
        bad, v, probe = Raising("bad", h=4), Obj(), Plain("p", 4)
        m.set(bad, v)

        def cycle():
            for call in (m.get, m.contains_key, m.delete, m.pop_val, lambda k: m.set(k, v),
                         lambda k: m.get_or_insert(k, v)):
                try:
                    call(probe)
                except Boom:
                    pass
                else:
                    raise AssertionError("expected Boom")
            try:
                m.set([], v)
            except TypeError:
                pass
            bad.log.clear()
        assert_no_leak(cycle, objs=(bad, v, probe))
