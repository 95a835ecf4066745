"""AtomicInteger and AtomicBoolean semantics."""
import pytest

from _vornic import AtomicBoolean, AtomicInteger
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
