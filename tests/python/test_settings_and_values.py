"""Settings kept in the file, Python values in and out of the newer methods, stored vectors read
back, and the errors for a vector argument of the wrong shape."""

import json
import os
import pathlib
import re
import sqlite3
import struct
import subprocess
import sys
import textwrap

import pytest

import korvane
from korvane import Korvane

np = pytest.importorskip("numpy")


@pytest.fixture
def path(tmp_path):
    return tmp_path / "store.db"


def header(path):
    """The SQLite header's user_version and application_id."""
    data = pathlib.Path(path).read_bytes()[:72]
    return struct.unpack(">i", data[60:64])[0], struct.unpack(">i", data[68:72])[0]


def run_python(code):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, env=env, timeout=60)


# --- settings -----------------------------------------------------------------------------

def test_settings_saved_by_open_hold_for_every_later_open(path):
    with Korvane(path) as plain:
        plain.insert("a", [3.0, 4.0])
        assert (plain.metric, plain.dim) == ("cosine", None)
    assert header(path) == (0, 0)  # nothing saved: the file is as it always was

    with Korvane.open(path, metric="euclidean", dim=2) as store:
        assert (store.metric, store.dim) == ("euclidean", 2)
    for reopen in (Korvane, Korvane.open, lambda p: Korvane.open(p, dim=2)):
        with reopen(path) as reopened:
            assert (reopened.metric, reopened.dim) == ("euclidean", 2)
            assert reopened.search([0.0, 0.0], 1) == [("a", 5.0, None)]
            with pytest.raises(ValueError, match="^vector has length 3, but the store's dim"):
                reopened.insert("b", [1.0, 2.0, 3.0])

    saved = pathlib.Path(path).read_bytes()
    with pytest.raises(ValueError, match="^the store was saved with metric 'euclidean', but "
                                         "metric 'cosine' was asked for$"):
        Korvane.open(path, metric="cosine")
    with pytest.raises(ValueError, match="^the store was saved with dim 2, but dim 384 was"):
        Korvane.open(path, dim=384)
    assert pathlib.Path(path).read_bytes() == saved


def test_a_dim_is_saved_only_when_every_record_has_it(path):
    with Korvane(path) as store:
        store.insert("a", [1.0, 2.0])
    before = pathlib.Path(path).read_bytes()
    with pytest.raises(ValueError, match="^record 'a' has length 2, but dim is 3$"):
        Korvane.open(path, dim=3)
    assert pathlib.Path(path).read_bytes() == before
    with Korvane.open(path, metric="dot") as store:  # a metric alone leaves the length free
        store.insert("b", [1.0])
        assert store.dim is None
    assert Korvane(path).metric == "dot"


def test_a_dim_gives_a_new_file_its_page_size_and_an_existing_file_keeps_its_own(tmp_path):
    def page_size(p):
        db = sqlite3.connect(p)
        try:
            return db.execute("PRAGMA page_size").fetchone()[0]
        finally:
            db.close()

    # A store written by another program in the row format, with 4096-byte pages.
    made = tmp_path / "made.db"
    db = sqlite3.connect(made)
    db.execute("PRAGMA page_size=4096")
    db.execute("CREATE TABLE records(id BLOB PRIMARY KEY NOT NULL, value BLOB NOT NULL) "
               "WITHOUT ROWID")
    db.execute("INSERT INTO records VALUES(?, ?)",
               (b"a", b'{"id":"a","vector":[1.0,2.0],"metadata":{"k":1},"timestamp":null}'))
    db.commit()
    db.close()
    with Korvane.open(made, dim=2) as store:
        store.insert("b", [3.0, 4.0])
    with Korvane(made) as store:
        assert store.get_vectors(["a", "b"]).tolist() == [[1.0, 2.0], [3.0, 4.0]]
        assert store.get("a") == '{"k":1}'
    assert page_size(made) == 4096

    for name, dim, expected in (("small.db", 384, 65536), ("wide.db", 1536, 4096),
                                ("unknown.db", None, 4096)):
        with Korvane.open(tmp_path / name, dim=dim) as store:
            store.insert("a", [0.25] * 384 if dim is None else [0.25] * dim)
        with Korvane(tmp_path / name) as store:
            assert store.get_vectors(["a"]).tolist() == [[0.25] * (dim or 384)]
        assert page_size(tmp_path / name) == expected, name

    # The log is copied into the file after about 4 MB of it, with large pages too (1,000 pages
    # of 64 KB would be 64 MB): 120 commits of a 64 KB leaf page and more each stay below that.
    with Korvane.open(tmp_path / "small.db", dim=384) as store:
        for i in range(120):
            store.insert("n%d" % i, [float(i)] * 384)
        assert os.path.getsize(str(tmp_path / "small.db") + "-wal") < 6_000_000


# --- insert of an existing id -------------------------------------------------------------

def test_reinserted_ids_are_listed_searched_and_filtered_once(path):
    store = Korvane(path)
    store.insert_many(["a", "b", "c"], [[1.0], [1.0], [1.0]],
                      [{"section": "games"}, {"section": "games"}, None])
    store.insert_many(["a", "b"], [[1.0], [1.0]], [{"section": "news"}, {"section": "news"}])
    store.insert("c", [1.0], '{"section": "news"}')
    assert len(store) == 3
    assert [hit[0] for hit in store.search([1.0], 10)] == ["a", "b", "c"]
    assert store.query([1.0], 10, where={"section": "games"}) == []
    store.close()
    assert [r[0] for r in Korvane(path).get_all()] == ["a", "b", "c"]


# --- Python values ------------------------------------------------------------------------

METADATA = [
    {"k": 1, "f": 1.0, "neg": -3, "t": True, "n": None, "s": "caf\u00e9", "l": [1, [2.5, {}]]},
    [2 ** 64 - 1, 2 ** 64, -(2 ** 63), -(2 ** 63) - 1, -0.0, 1e150, 5e-324],
    ("tuple", False),
    0,
    2.5,
    True,
    [[[]]],
]


@pytest.mark.parametrize("value", METADATA)
def test_python_metadata_equals_its_json_text(path, value):
    store = Korvane(path)
    store.upsert("text", [1.0], json.dumps(value))
    store.upsert("value", [1.0], value)
    store.insert_many(["many"], [[1.0]], [value])
    store.upsert_many(["umany"], [[1.0]], [value])
    expected = store.get("text")
    assert store.get("value") == store.get("many") == store.get("umany") == expected
    hits = store.query([1.0], 4, decode=True)
    decoded = json.loads(expected)
    for _, _, got in hits:
        assert got == decoded and repr(got) == repr(decoded)  # ints stay ints, floats floats
    assert store.search_many([[1.0]], 1, decode=True)[0][0][2] == decoded


def test_python_metadata_that_has_no_json_form_is_refused(path):
    store = Korvane(path)
    cycle = []
    cycle.append(cycle)
    deep = []
    for _ in range(127):
        deep = [deep]
    cases = [
        ({1: "x"}, TypeError, r"^argument 'metadata': dict keys must be str, not 'int'$"),
        ({"a": {1, 2}}, TypeError, r"^argument 'metadata': 'set' object is not a JSON value"),
        ([float("nan")], ValueError, r"^argument 'metadata': JSON has no non-finite numbers"),
        ({"a": float("-inf")}, ValueError, r"^argument 'metadata': JSON has no non-finite"),
        (cycle, ValueError, r"^argument 'metadata': metadata nested deeper than 127 levels"),
        (deep, ValueError, r"^argument 'metadata': metadata nested deeper than 127 levels"),
        ([10 ** 400], ValueError, r"^argument 'metadata': an integer beyond the range"),
    ]
    for value, error, message in cases:
        with pytest.raises(error, match=message):
            store.upsert("a", [1.0], value)
    # At the reader's own depth limit the value is what its text gives: storing refuses it.
    with pytest.raises(RuntimeError, match="nested deeper than 126 levels"):
        store.upsert("a", [1.0], deep[0])
    # The original methods keep JSON text only.
    with pytest.raises(TypeError, match="^argument 'metadata': 'dict' object cannot be converted"):
        store.insert("a", [1.0], {"k": 1})
    assert len(store) == 0


def test_where_as_a_dict_equals_where_as_text(path):
    store = Korvane(path)
    store.insert_many(["a", "b", "c"], [[1.0], [2.0], [3.0]],
                      [{"n": 1}, {"n": 1.0}, {"n": 1, "x": [True]}])
    for where in ({"n": 1}, {"n": 1.0}, {"x": [True]}, {}):
        assert store.query([1.0], 5, where=where) == store.query([1.0], 5, where=json.dumps(where))
    with pytest.raises(TypeError, match=r"^argument 'where': expected a dict or JSON object text, "
                                        r"not 'list'$"):
        store.query([1.0], 5, where=[1])
    with pytest.raises(ValueError, match="^where must be a JSON object$"):
        store.query([1.0], 5, where="[1]")
    with pytest.raises(TypeError, match=r"^argument 'decode': expected True or False, not 'int'$"):
        store.query([1.0], 5, decode=1)


# --- get_vectors --------------------------------------------------------------------------

def test_get_vectors_returns_rows_in_the_order_asked(path):
    store = Korvane(path)
    store.insert_many(["a", "b", "c"], np.array([[1, 2], [3, 4], [0.1, 1e15]], np.float64))
    got = store.get_vectors(["c", "a", "c"])
    assert got.dtype == np.float32 and got.shape == (3, 2)
    assert got.tolist() == np.array([[0.1, 1e15], [1, 2], [0.1, 1e15]], np.float32).tolist()
    got[0, 0] = 7.0  # a copy of its own: the store keeps its vector
    assert store.get_vectors(["c"])[0, 0] == np.float32(0.1)
    assert store.get_vectors([]).shape == (0, 0)
    with pytest.raises(KeyError) as info:
        store.get_vectors(["a", "zz"])
    assert info.value.args == ("zz",)
    store.insert("d", [1.0])
    with pytest.raises(ValueError, match="^get_vectors\\(\\) makes one array, but record 'd' has "
                                         "length 1 and record 'a' has length 2$"):
        store.get_vectors(["a", "d"])
    with Korvane.open(path.with_name("fixed.db"), dim=5) as fixed:
        assert fixed.get_vectors([]).shape == (0, 5)


def test_numpy_is_imported_only_by_get_vectors(path):
    result = run_python(f"""
        import sys
        sys.modules["numpy"] = None  # importing it now fails
        from korvane import Korvane
        store = Korvane({str(path)!r})
        store.upsert("a", [1.0], {{"k": 1}})
        print(store.query([1.0], 1, decode=True))
        try:
            store.get_vectors(["a"])
        except ImportError as e:
            print("ImportError:", e)
    """)
    assert result.stdout.splitlines() == [
        "[('a', 1.0, {'k': 1})]",
        "ImportError: get_vectors() returns a NumPy array, and NumPy is not installed",
    ], result.stderr


# --- shapes -------------------------------------------------------------------------------

def test_a_vector_argument_of_the_wrong_shape_says_which_method_fits(path):
    store = Korvane(path)
    store.insert("a", [1.0, 2.0])
    several = "^argument 'query': a query is one vector, not several; search_many\\(\\) takes"
    for query in (np.ones((1, 2), np.float32), np.ones((2, 1)), [[1.0, 2.0]], ([1, 2],),
                  [np.ones(2)]):
        with pytest.raises(ValueError, match=several):
            store.search(query, 2)
        with pytest.raises(ValueError, match=several):
            store.query(query, 2)
    one = "expected several vectors \\(a 2-D array or a sequence of vectors\\), not one vector"
    with pytest.raises(ValueError, match=f"^argument 'queries': {one}; search\\(\\) takes one$"):
        store.search_many(np.ones(2, np.float32), 1)
    with pytest.raises(ValueError, match=f"^argument 'vectors': {one}; insert\\(\\) takes one$"):
        store.insert_many(["b"], [1.0, 2.0])
    with pytest.raises(ValueError, match="^argument 'vector': expected one vector, not several"):
        store.upsert("b", [[1.0, 2.0]])
    with pytest.raises(TypeError, match="^argument 'metadata': expected a sequence with one item "
                                        "per id, not a dict$"):
        store.insert_many(["b"], [[1.0, 2.0]], {"k": 1})
    assert store.get_all() == [("a", None)]


# --- version and documentation ------------------------------------------------------------

def test_version_and_docstrings_of_the_newer_methods():
    cmake = (pathlib.Path(__file__).parents[2] / "CMakeLists.txt").read_text()
    assert korvane.__version__ == re.search(r"project\(korvane VERSION ([0-9.]+)", cmake)[1]
    assert korvane.__all__ == ["Korvane"]
    for name in ("open", "close", "query", "search_many", "enable_index", "insert_many", "upsert",
                 "upsert_many", "delete_many", "get_vectors"):
        doc = getattr(Korvane, name).__doc__
        summary, blank, *arguments = doc.split("\n")
        assert summary.endswith(".") and blank == "" and arguments, name
    assert Korvane.metric.__doc__ and Korvane.dim.__doc__
