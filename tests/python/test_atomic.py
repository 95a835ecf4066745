"""AtomicInteger, AtomicBoolean and AtomicReference semantics."""
import gc
import operator
import sys
import types
import weakref

import pytest

from _vornic import AtomicBoolean, AtomicInteger, AtomicReference
from conftest import run_threads

MIN, MAX = -2**63, 2**63 - 1


class TestAtomicInteger:
    def test_arithmetic_results(self):
        a = AtomicInteger(1)
        assert a.fetch_add(2) == 1
        assert a.add_and_get(2) == 5
        assert a.fetch_sub(1) == 5
        assert a.sub_and_get(1) == 3
        assert a.increment() == 4 and a.decrement() == 3
        assert a.fetch_add_relaxed(10) == 3 and a.add_and_get_relaxed(1) == 14
        assert a.fetch_sub_relaxed(4) == 14 and a.sub_and_get_relaxed(5) == 5
        assert a.increment_relaxed() == 6 and a.decrement_relaxed() == 5
        assert a.get_and_set(-7) == 5 and a.get() == -7

    def test_wraps_at_both_ends(self):
        assert AtomicInteger(MAX).increment() == MIN
        assert AtomicInteger(MIN).decrement_relaxed() == MAX
        assert AtomicInteger(MAX).add_and_get(MAX) == -2
        assert AtomicInteger(MIN).sub_and_get(1) == MAX
        a = AtomicInteger(5)
        assert a.fetch_sub(MIN) == 5
        assert a.get() == MIN + 5
        b = AtomicInteger(5)
        assert b.sub_and_get_relaxed(MIN) == MIN + 5

    def test_compare_and_set(self):
        a = AtomicInteger(1)
        assert a.compare_and_set(2, 3) is False and a.get() == 1
        assert a.compare_and_set(1, 3) is True and a.get() == 3
        for o in ("relaxed", "release", "acquire", "acq_rel", "seq_cst"):
            assert a.compare_and_set(3, 3, ordering=o) is True

    def test_ordering_names(self):
        a = AtomicInteger(7)
        for name in ("SeqCst", "seq_cst", "Relaxed", "relaxed", "Acquire", "acquire"):
            assert a.get(ordering=name) == 7
        for name in ("SEQCST", "Seq_Cst", "seqcst", " relaxed", "SEQ_CST", ""):
            with pytest.raises(ValueError) as info:
                a.get(ordering=name)
            assert str(info.value) == f"Unsupported memory ordering: {name}"
        assert a.fetch_add(1, ordering="AcqRel") == 7

    @pytest.mark.parametrize("call, message", [
        (lambda a: a.get(ordering="release"), "there is no such thing as a release load"),
        (lambda a: a.get(ordering="AcqRel"), "there is no such thing as an acquire-release load"),
        (lambda a: a.set(9, ordering="acquire"), "there is no such thing as an acquire store"),
        (lambda a: a.set(9, ordering="acq_rel"), "there is no such thing as an acquire-release store"),
    ])
    def test_refused_orderings_leave_cell(self, PanicException, call, message):
        a = AtomicInteger(0)
        with pytest.raises(PanicException) as info:
            call(a)
        assert str(info.value) == message
        assert a.get() == 0

    def test_str_and_repr(self):
        assert str(AtomicInteger(-3)) == "-3"
        assert repr(AtomicInteger(-3)) == "AtomicInteger(-3)"
        assert repr(AtomicInteger()) == "AtomicInteger(0)"

    @pytest.mark.timeout(120)
    def test_no_increment_lost(self):
        a = AtomicInteger()
        n = 100_000

        def work(i):
            inc = a.increment if i % 2 else a.increment_relaxed
            for _ in range(n):
                inc()
        run_threads(work, 8)
        assert a.get() == 8 * n

    @pytest.mark.timeout(120)
    def test_compare_and_set_counter_is_exact(self):
        a = AtomicInteger()
        n = 20_000

        def work(i):
            done = 0
            while done < n:
                cur = a.get()
                if a.compare_and_set(cur, cur + 1):
                    done += 1
        run_threads(work, 4)
        assert a.get() == 4 * n


    def test_reads_as_an_int_but_is_not_one(self):
        a = AtomicInteger(1234567)
        assert int(a) == operator.index(a) == 1234567 and type(int(a)) is int
        assert f"{a:,}" == "1,234,567" and format(a, "x") == "12d687" and f"{a}" == "1234567"
        assert list(range(AtomicInteger(3))) == [0, 1, 2]
        for op in (lambda: a + 1, lambda: 1 + a, lambda: a * 2, lambda: -a, lambda: a < 2):
            with pytest.raises(TypeError):
                op()
        assert bool(AtomicInteger(0)) is True  # truthiness stays that of an object
        assert AtomicInteger(1) != AtomicInteger(1) and {a: "key"}[a] == "key"

    def test_in_place_add_and_subtract_keep_the_object(self):
        a = AtomicInteger(MAX - 1)
        same = a
        a += 2
        assert a is same and a.get() == MIN  # wraps like every add
        a -= 2
        assert a is same and a.get() == MAX - 1
        a += AtomicInteger(1)  # anything with __index__
        assert a.get() == MAX
        with pytest.raises(TypeError):
            a += 1.0
        with pytest.raises(OverflowError):
            a -= 2**63
        assert a is same and a.get() == MAX

    def test_bitwise_fetch_operations(self):
        a = AtomicInteger(0b1100)
        assert a.fetch_and(0b1010) == 0b1100 and a.get() == 0b1000
        assert a.fetch_or(0b0011, ordering="relaxed") == 0b1000 and a.get() == 0b1011
        assert a.fetch_xor(-1, ordering="AcqRel") == 0b1011 and a.get() == ~0b1011
        for o in ("relaxed", "release", "acquire", "acq_rel", "seq_cst"):
            a.fetch_or(0, ordering=o)
        with pytest.raises(ValueError, match="^Unsupported memory ordering: bogus$"):
            a.fetch_and(0, ordering="bogus")
        assert a.get() == ~0b1011

    def test_update_functions(self):
        a = AtomicInteger(5)
        assert a.update_and_get(lambda v: v * 3) == 15
        assert a.get_and_update(lambda v: v - 1) == 15 and a.get() == 14
        for bad, exc in ((lambda v: "x", TypeError), (lambda v: 2**64, OverflowError), (lambda v: 1 // 0, ZeroDivisionError)):
            with pytest.raises(exc):
                a.update_and_get(bad)
        assert a.get() == 14

        calls = []

        def racing(v):  # another thread's change lands between the read and the store
            calls.append(v)
            if len(calls) == 1:
                a.set(100)
            return v + 1
        assert a.update_and_get(racing) == 101 and calls == [14, 100] and a.get() == 101

    @pytest.mark.timeout(120)
    def test_update_and_get_storm_is_exact(self):
        a = AtomicInteger()
        r = AtomicReference(0)
        n = 5_000

        def work(i):
            for _ in range(n):
                a.update_and_get(lambda v: v + 1)
                r.get_and_update(lambda v: v + 1)
        run_threads(work, 4)
        assert a.get() == r.get() == 4 * n


class TestAtomicBoolean:
    def test_basics(self):
        assert AtomicBoolean().get() is False
        assert AtomicBoolean(True).get(ordering="relaxed") is True
        b = AtomicBoolean(False)
        assert b.get_and_set(True) is False and b.get() is True
        c = AtomicBoolean(False)
        assert c.compare_and_set(True, False) is False and c.get() is False
        assert c.compare_and_set(False, True) is True and c.get() is True

    def test_strict_booleans(self):
        for bad in (0, 1, None, "True", 1.0):
            with pytest.raises(TypeError):
                AtomicBoolean(bad)
        with pytest.raises(TypeError) as info:
            AtomicBoolean().set(1)
        assert str(info.value) == "'int' object is not an instance of 'bool'"
        assert info.value.__notes__ == ["while processing 'value'"]

    def test_refused_orderings(self, PanicException):
        b = AtomicBoolean()
        with pytest.raises(PanicException, match="^there is no such thing as an acquire store$"):
            b.set(True, ordering="acquire")
        assert b.get() is False
        with pytest.raises(PanicException, match="^there is no such thing as a release load$"):
            b.get(ordering="Release")
        with pytest.raises(ValueError, match="^Unsupported memory ordering: x$"):
            b.get_and_set(True, ordering="x")
        assert b.get() is False

    def test_str_and_repr(self):
        assert str(AtomicBoolean(True)) == "True"
        assert repr(AtomicBoolean()) == "AtomicBoolean(False)"

    def test_truth_value_is_the_value(self):
        b = AtomicBoolean()
        assert not b
        b.set(True)
        assert b and bool(b) is True


class TestAtomicReference:
    def test_operations_compare_by_identity(self):
        r = AtomicReference()
        assert r.get() is None and repr(r) == "AtomicReference(None)"
        first, twin = [1], [1]
        r.set(first)
        assert r.get() is first and repr(r) == "AtomicReference([1])"
        assert r.compare_and_set(twin, "no") is False and r.get() is first  # equal is not enough
        assert r.compare_and_set(first, twin) is True and r.get() is twin
        assert r.get_and_set("s") is twin
        assert r.update_and_get(lambda v: v + "!") == "s!"
        assert r.get_and_update(lambda v: v * 2) == "s!" and r.get() == "s!s!"
        with pytest.raises(TypeError):
            r.get(ordering="relaxed")
        with pytest.raises(ZeroDivisionError):
            r.update_and_get(lambda v: 1 // 0)
        assert r.get() == "s!s!"
        assert AtomicReference(value=5).get() == 5
        alias = AtomicReference[int]
        assert type(alias) is types.GenericAlias and alias.__origin__ is AtomicReference
        r.set(r)
        assert repr(r) == "AtomicReference(AtomicReference(...))"

    def test_replaced_objects_are_released(self):
        class Obj:
            pass
        old = Obj()
        probe = weakref.ref(old)
        r = AtomicReference(old)
        del old
        r.set(Obj())
        assert probe() is None
        new = r.get()
        before = sys.getrefcount(new)
        for replace in (lambda: r.get_and_set(1), lambda: r.compare_and_set(new, 2)):
            r.set(new)
            replace()
            assert sys.getrefcount(new) == before - 1

    def test_reference_cycle_is_collected(self):
        class Holder:
            pass
        h = Holder()
        h.ref = AtomicReference(h)
        probe = weakref.ref(h)
        del h
        gc.collect()
        assert probe() is None

    @pytest.mark.timeout(120)
    def test_get_racing_set_of_fresh_objects(self):
        """Readers must never see a released object: every read is one of the
        lists the writers stored, still intact."""
        r = AtomicReference([0, 0])
        n = 20_000

        def work(i):
            if i % 2:
                for j in range(n):
                    r.set([i, j])
            else:
                for _ in range(n):
                    v = r.get()
                    assert type(v) is list and len(v) == 2 and v[0] in (0, 1, 3)
        run_threads(work, 4)
