"""Argument conversion: messages, the renaming of TypeErrors, and the borrow flag."""

import array
import os
import sys

import pytest

from korvane import Korvane


@pytest.fixture
def store(tmp_path):
    return Korvane(str(tmp_path / "store.db"))


class Outer:
    class Inner:
        pass


class Floaty:
    def __init__(self, action):
        self.action = action

    def __float__(self):
        return self.action()


class LyingLength:
    """A sequence whose __len__ says something its iteration does not."""

    def __init__(self, length, items):
        self.length, self.items = length, items

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return self.length

    def __getitem__(self, i):
        return self.items[i]


def raise_(exc):
    raise exc


CONVERSION_CASES = [
    # (method, args, exception type, exact message)
    ("get", (5,), TypeError, "argument 'id': 'int' object cannot be converted to 'PyString'"),
    ("get", (b"a",), TypeError, "argument 'id': 'bytes' object cannot be converted to 'PyString'"),
    ("get", (Outer.Inner(),), TypeError,
     "argument 'id': 'Outer.Inner' object cannot be converted to 'PyString'"),
    ("delete", (None,), TypeError,
     "argument 'id': 'NoneType' object cannot be converted to 'PyString'"),
    ("get", ("\udc80",), UnicodeEncodeError,
     "'utf-8' codec can't encode character '\\udc80' in position 0: surrogates not allowed"),
    ("insert", ("a", "1.0"), TypeError, "argument 'vector': Can't extract `str` to `Vec`"),
    ("insert", ("a", {1: 2.0}), TypeError,
     "argument 'vector': 'dict' object cannot be converted to 'Sequence'"),
    ("insert", ("a", {1.0}), TypeError,
     "argument 'vector': 'set' object cannot be converted to 'Sequence'"),
    ("insert", ("a", (x for x in [1.0])), TypeError,
     "argument 'vector': 'generator' object cannot be converted to 'Sequence'"),
    ("insert", ("a", iter([1.0])), TypeError,
     "argument 'vector': 'list_iterator' object cannot be converted to 'Sequence'"),
    ("insert", ("a", 1.0), TypeError,
     "argument 'vector': 'float' object cannot be converted to 'Sequence'"),
    ("insert", ("a", [1.0, "2"]), TypeError, "argument 'vector': must be real number, not str"),
    ("insert", ("a", [1.0, None]), TypeError,
     "argument 'vector': must be real number, not NoneType"),
    ("insert", ("a", [2 ** 1024]), OverflowError, "int too large to convert to float"),
    ("insert", ("a", [Floaty(lambda: raise_(ValueError("no float")))]), ValueError, "no float"),
    ("insert", ("a", [1.0], {"b": 1}), TypeError,
     "argument 'metadata': 'dict' object cannot be converted to 'PyString'"),
    ("insert", ("a", [1.0], 5), TypeError,
     "argument 'metadata': 'int' object cannot be converted to 'PyString'"),
    # Arguments convert in order; the first failure wins.
    ("insert", (5, "x", 7), TypeError,
     "argument 'id': 'int' object cannot be converted to 'PyString'"),
    ("insert", ("a", "x", 7), TypeError, "argument 'vector': Can't extract `str` to `Vec`"),
    ("search", ("abc", 1), TypeError, "argument 'query': Can't extract `str` to `Vec`"),
    ("search", ([1.0], 2.5), TypeError,
     "argument 'k': 'float' object cannot be interpreted as an integer"),
    ("search", ([1.0], "3"), TypeError,
     "argument 'k': 'str' object cannot be interpreted as an integer"),
    ("search", ([1.0], -1), OverflowError, "can't convert negative int to unsigned"),
    ("search", ([1.0], 2 ** 64), OverflowError, "int too big to convert"),
]


@pytest.mark.parametrize("method, args, exc_type, message", CONVERSION_CASES)
def test_conversion_failures(store, method, args, exc_type, message):
    with pytest.raises(exc_type) as info:
        getattr(store, method)(*args)
    assert type(info.value) is exc_type
    assert str(info.value) == message
    assert store.get_all() == []


def test_path_like_objects_open_and_others_are_refused(tmp_path):
    Korvane(tmp_path / "x.db").close()
    Korvane.open(tmp_path / "x.db").close()

    class BytesPath:
        def __fspath__(self):
            return os.fsencode(str(tmp_path / "y.db"))

    Korvane(BytesPath()).close()
    assert (tmp_path / "x.db").exists() and (tmp_path / "y.db").exists()
    for wrong, name in ((b"z.db", "bytes"), (7, "int")):
        with pytest.raises(TypeError) as info:
            Korvane(wrong)
        assert str(info.value) == f"argument 'path': '{name}' object cannot be converted to 'PyString'"


@pytest.mark.parametrize("text, message", [
    ("", "EOF while parsing a value at line 1 column 0"),
    ("abc", "expected value at line 1 column 1"),
    ("{} x", "trailing characters at line 1 column 4"),
])
def test_metadata_that_is_not_json(store, text, message):
    with pytest.raises(ValueError) as info:
        store.insert("a", [1.0], text)
    assert type(info.value) is ValueError
    assert info.value.args == (message,)
    assert store.get_all() == []


class TypeErrorSubclass(TypeError):
    pass


def test_renamed_type_error_keeps_the_cause_and_drops_the_original(store):
    root = KeyError("root")

    def failing():
        try:
            raise root
        except KeyError:
            err = TypeError("inner problem")
            err.__cause__ = root
            raise err

    with pytest.raises(TypeError) as info:
        store.insert("a", [Floaty(failing)])
    assert str(info.value) == "argument 'vector': inner problem"
    assert info.value.__cause__ is root
    assert info.value.__suppress_context__ is True


def test_renamed_type_error_without_cause(store):
    with pytest.raises(TypeError) as info:
        store.get(5)
    assert info.value.__cause__ is None
    assert info.value.__suppress_context__ is True


def test_type_error_subclass_passes_unchanged(store):
    original = TypeErrorSubclass("mine")
    with pytest.raises(TypeErrorSubclass) as info:
        store.insert("a", [Floaty(lambda: raise_(original))])
    assert info.value is original


@pytest.mark.parametrize("query", [
    [3, 4],
    (3.0, 4.0),
    range(3, 5),
    b"\x03\x04",
    bytearray(b"\x03\x04"),
    memoryview(b"\x03\x04"),
    array.array("d", [3.0, 4.0]),
    [Floaty(lambda: 3.0), Floaty(lambda: 4.0)],
    LyingLength(100, [3.0, 4.0]),
    LyingLength(RuntimeError("no length"), [3.0, 4.0]),
])
def test_sequences_that_convert(store, query):
    store.insert("v", [3.0, 4.0])
    store.insert("w", [4.0, -3.0])
    assert store.search(query, 2) == store.search([3.0, 4.0], 2)


def test_str_subclass_is_text(store):
    class Name(str):
        pass

    store.insert(Name("a"), [1.0], Name('{"x": 1}'))
    assert store.get(Name("a")) == '{"x":1}'


@pytest.mark.parametrize("vector, index", [
    ([1.0, 1e40], 1),
    ([-3.5e38], 0),
    ([1.0, 2.0, float("nan")], 2),
    ([float("inf")], 0),
])
def test_components_that_round_to_non_finite_are_refused(store, vector, index):
    with pytest.raises(RuntimeError) as info:
        store.insert("a", vector)
    assert info.value.args == (
        "Storage error: Serialization error: cannot store non-finite vector component at index "
        f"{index}",)
    assert store.get_all() == []


def test_largest_float32_is_kept(store):
    # Converted as the largest finite float32, not rounded up to infinity; it is refused only
    # because its square overflows, which no stored vector may do.
    with pytest.raises(RuntimeError, match="^Storage error: Serialization error: cannot store "
                                           "vector whose sum of squares is not finite$"):
        store.insert("a", [3.4028234663852886e38, 1e-46])
    store.insert("a", [1.8e19, 1e-46])
    assert store.get_all() == [("a", None)]
    assert store.search([1.8e19, 0.0], 1) == [("a", 1.0, None)]


def test_huge_length_hint_is_memory_error(store):
    # Sizing the buffer from __len__ asks for more memory than the address space holds.
    with pytest.raises(MemoryError):
        store.insert("a", LyingLength(2 ** 47, [1.0]))
    store.insert("a", [1.0])
    assert store.get_all() == [("a", None)]


def test_impossible_length_hint_is_only_a_hint(store):
    # No buffer can hold sys.maxsize floats: the elements are read as they come instead.
    store.insert("a", LyingLength(sys.maxsize, [3.0, 4.0]))
    assert store.search([3.0, 4.0], 1) == [("a", 1.0, None)]


# --- the borrow flag -----------------------------------------------------------------------

BORROW_CASES = [
    # (outer call, inner call made from a vector element's __float__, inner outcome)
    ("insert", lambda s: s.get("x"), "Already mutably borrowed"),
    ("insert", lambda s: s.get_all(), "Already mutably borrowed"),
    ("insert", lambda s: s.search([1.0], 1), "Already mutably borrowed"),
    ("insert", lambda s: s.insert("y", [1.0]), "Already borrowed"),
    ("insert", lambda s: s.delete("x"), "Already borrowed"),
    ("search", lambda s: s.insert("y", [1.0]), "Already borrowed"),
    ("search", lambda s: s.delete("x"), "Already borrowed"),
    ("search", lambda s: s.get("x"), None),
    ("search", lambda s: s.search([1.0], 5), None),
]


def call_outer(store, outer, element):
    if outer == "insert":
        return store.insert("x", [1.0, element])
    return store.search([1.0, element], 5)


@pytest.mark.parametrize("outer, inner, message", BORROW_CASES)
def test_reentrant_call_meets_the_borrow(store, outer, inner, message):
    store.insert("seed", [1.0, 0.0])
    seen = []

    def reenter():
        try:
            inner(store)
        except RuntimeError as e:
            seen.append(e)
            raise
        return 0.0

    if message is None:
        call_outer(store, outer, Floaty(reenter))
        assert seen == []
    else:
        with pytest.raises(RuntimeError) as info:
            call_outer(store, outer, Floaty(reenter))
        # The inner exception itself reaches the caller, neither renamed nor wrapped.
        assert info.value is seen[0]
        assert info.value.args == (message,)
    assert store.get_all() == [("seed", None)]
    # Every path released the flag: both kinds of borrow work again.
    store.insert("after", [1.0])
    assert store.get("after") is None and len(store.get_all()) == 2


def test_handled_conflict_lets_the_outer_call_finish(store):
    def reenter():
        try:
            store.get("x")
        except RuntimeError:
            return 2.0
        return 0.0

    store.insert("x", [1.0, Floaty(reenter)])
    assert store.get_all() == [("x", None)]


def test_binding_error_beats_borrow_conflict(store):
    def reenter():
        store.get()

    with pytest.raises(TypeError) as info:
        store.insert("x", [Floaty(reenter)])
    assert str(info.value) == ("argument 'vector': "
                               "Korvane.get() missing 1 required positional argument: 'id'")


def test_borrow_conflict_beats_conversion_error(store):
    def reenter():
        store.get(5)

    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        store.insert("x", [Floaty(reenter)])


def test_index_conversion_can_reenter(store):
    class Count:
        def __index__(self):
            store.insert("late", [1.0])
            return 1

    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        store.search([1.0], Count())
    assert store.get_all() == []
