"""The calling layer as callers see it: binding errors, conversions, notes,
PanicException and receiver access."""
import pytest

import _vornic
from _vornic import AtomicBoolean, AtomicInteger
from conftest import assert_no_leak


class TestBinding:
    @pytest.mark.parametrize("call, message", [
        (lambda a: a.set(), "AtomicInteger.set() missing 1 required positional argument: 'value'"),
        (lambda a: a.compare_and_set(),
         "AtomicInteger.compare_and_set() missing 2 required positional arguments: 'expected' and 'new_value'"),
        (lambda a: a.compare_and_set(ordering="relaxed"),
         "AtomicInteger.compare_and_set() missing 2 required positional arguments: 'expected' and 'new_value'"),
        (lambda a: a.set(1, None, 3), "AtomicInteger.set() takes from 1 to 2 positional arguments but 3 were given"),
        (lambda a: a.fetch_add_relaxed(1, 2), "AtomicInteger.fetch_add_relaxed() takes 1 positional arguments but 2 were given"),
        (lambda a: a.get(None, None), "AtomicInteger.get() takes from 0 to 1 positional arguments but 2 were given"),
        (lambda a: a.get(order="relaxed"), "AtomicInteger.get() got an unexpected keyword argument 'order'"),
        (lambda a: a.set(1, value=2), "AtomicInteger.set() got multiple values for argument 'value'"),
        (lambda a: AtomicInteger(1, 2), "AtomicInteger.__new__() takes from 0 to 1 positional arguments but 2 were given"),
        (lambda a: AtomicInteger(bogus=1), "AtomicInteger.__new__() got an unexpected keyword argument 'bogus'"),
    ])
    def test_messages(self, call, message):
        with pytest.raises(TypeError) as info:
            call(AtomicInteger())
        assert str(info.value) == message
        assert not getattr(info.value, "__notes__", None)

    def test_three_missing_uses_oxford_list(self):
        with pytest.raises(TypeError, match=r"^AtomicBoolean.compare_and_set\(\) missing 2 required positional "
                                            r"arguments: 'expected' and 'new_value'$"):
            AtomicBoolean().compare_and_set()

    def test_keywords_in_any_order(self):
        a = AtomicInteger(value=4)
        assert a.compare_and_set(new_value=9, ordering="acq_rel", expected=4) is True
        assert a.get() == 9

    def test_noargs_method_rejects_arguments(self):
        with pytest.raises(TypeError):
            AtomicInteger().increment_relaxed(1)


class TestConversion:
    def test_cast_errors_carry_the_note(self):
        with pytest.raises(TypeError) as info:
            AtomicInteger().get(ordering=5)
        assert str(info.value) == "'int' object is not an instance of 'str'"
        assert info.value.__notes__ == ["while processing 'ordering'"]
        with pytest.raises(TypeError) as info:
            AtomicBoolean(1)
        assert str(info.value) == "'int' object is not an instance of 'bool'"
        assert info.value.__notes__ == ["while processing 'value'"]
        with pytest.raises(TypeError) as info:
            AtomicBoolean(None)
        assert str(info.value) == "'None' is not an instance of 'bool'"

    def test_qualified_type_name_in_cast_error(self):
        class Outer:
            class Inner:
                pass
        with pytest.raises(TypeError) as info:
            AtomicInteger().get(Outer.Inner())
        assert str(info.value) == ("'TestConversion.test_qualified_type_name_in_cast_error.<locals>.Outer.Inner' "
                                   "object is not an instance of 'str'")

    def test_integer_conversion_keeps_interpreter_errors(self):
        with pytest.raises(OverflowError) as info:
            AtomicInteger(2**63)
        assert info.value.__notes__ == ["while processing 'value'"]
        with pytest.raises(TypeError) as info:
            AtomicInteger(1.5)
        assert info.value.__notes__ == ["while processing 'value'"]
        with pytest.raises(TypeError):
            AtomicInteger(None)  # the default 0 is not None

    def test_integer_conversion_accepts_index_and_bool(self):
        class Idx:
            def __index__(self):
                return 41
        assert AtomicInteger(Idx()).get() == 41
        assert AtomicInteger(True).get() == 1

    def test_value_converted_before_ordering(self):
        with pytest.raises(TypeError) as info:
            AtomicInteger().set("x", "bogus")
        assert info.value.__notes__ == ["while processing 'value'"]

    def test_none_equals_omitted_for_none_defaults(self):
        a = AtomicInteger(3)
        assert a.get(None) == a.get() == 3

    def test_note_failure_is_discarded(self):
        class Weird:
            def __index__(self):
                raise KeyError("boom")
        with pytest.raises(KeyError) as info:
            AtomicInteger(Weird())
        assert info.value.__notes__ == ["while processing 'value'"]

    def test_numpy_bool_is_accepted(self):
        np = pytest.importorskip("numpy")
        b = AtomicBoolean(np.True_)
        assert b.get() is True
        b.set(np.bool_(False))
        assert b.get() is False
        with pytest.raises(TypeError):
            AtomicBoolean(np.int64(1))

    def test_text_subclass_accepted(self):
        class S(str):
            pass
        assert AtomicInteger(2).get(S("relaxed")) == 2


class TestPanic:
    def test_panic_exception_shape(self, PanicException):
        assert PanicException.__name__ == "PanicException"
        assert PanicException.__module__ == "pyo3_runtime"
        assert PanicException.__bases__ == (BaseException,)
        assert PanicException.__doc__.startswith("\nThe exception raised when Rust code called from Python panics.")
        assert not hasattr(_vornic, "PanicException")

    def test_not_caught_by_except_exception(self, PanicException):
        with pytest.raises(PanicException) as info:
            try:
                AtomicInteger().set(1, ordering="acq_rel")
            except Exception:  # must not catch it
                pytest.fail("PanicException caught by except Exception")
        assert info.value.args == ("there is no such thing as an acquire-release store",)


class TestLeaks:
    def test_argument_errors_do_not_leak(self, PanicException):
        a = AtomicInteger()
        key = object()

        def calls():
            for call in (lambda: a.set(), lambda: a.set(1, value=2), lambda: a.get(ordering=key),
                         lambda: a.get(ordering="x"), lambda: a.get(ordering="release"),
                         lambda: AtomicBoolean(key), lambda: AtomicInteger(2**64)):
                try:
                    call()
                except BaseException:  # noqa: BLE001
                    pass
            a.increment()
            AtomicBoolean(True).get()
        assert_no_leak(calls, repeat=5_000, objs=(a, key))
