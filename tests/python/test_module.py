"""The module and class as Python sees them: names, docs, binding messages, the exported ABI."""

import inspect
import os
import pickle
import shutil
import subprocess
import sys
import weakref

import pytest

import korvane
from korvane import Korvane


@pytest.fixture
def store(tmp_path):
    return Korvane(str(tmp_path / "store.db"))


def run_python(code, timeout=60):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          env=env, timeout=timeout)


def test_module_surface():
    assert korvane.__all__ == ["Korvane"]
    assert korvane.__doc__ == ""
    assert korvane.Korvane is Korvane
    assert [n for n in vars(korvane) if not n.startswith("__")] == ["Korvane"]


def test_type_surface():
    assert Korvane.__module__ == "builtins"
    assert Korvane.__name__ == Korvane.__qualname__ == "Korvane"
    assert repr(Korvane) == "<class 'builtins.Korvane'>"
    assert Korvane.__doc__ == ""
    if sys.version_info >= (3, 10):
        assert Korvane.__text_signature__ == "(path)"
    assert Korvane.__bases__ == (object,)


@pytest.mark.parametrize("name, signature", [
    ("insert", "($self, id, vector, metadata=None)"),
    ("search", "($self, query, k)"),
    ("get", "($self, id)"),
    ("get_all", "($self)"),
    ("delete", "($self, id)"),
])
def test_method_docs(name, signature):
    method = getattr(Korvane, name)
    assert method.__doc__ is None
    assert method.__text_signature__ == signature


def test_inspect_reads_the_signature():
    assert str(inspect.signature(Korvane.insert)) == "(self, /, id, vector, metadata=None)"


def test_subclassing_refused():
    with pytest.raises(TypeError, match="^type 'builtins.Korvane' is not an acceptable base type$"):
        type("Sub", (Korvane,), {})


def test_instances_carry_no_attributes(store):
    with pytest.raises(AttributeError,
                       match="^'builtins.Korvane' object has no attribute 'foo'$"):
        store.foo = 1
    assert not hasattr(store, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(store)
    # 3.8 and 3.9 name the class without its module here.
    with pytest.raises(TypeError, match=r"^cannot pickle '(builtins\.)?Korvane' object$"):
        pickle.dumps(store)
    assert repr(store).startswith("<builtins.Korvane object at 0x")


BINDING_CASES = [
    # (method, args, kwargs, message)
    ("__new__", (), {}, "Korvane.__new__() missing 1 required positional argument: 'path'"),
    ("__new__", ("a", "b"), {},
     "Korvane.__new__() takes 1 positional arguments but 2 were given"),
    ("__new__", (), {"file": "x"}, "Korvane.__new__() got an unexpected keyword argument 'file'"),
    ("insert", (), {}, "Korvane.insert() missing 2 required positional arguments: 'id' and 'vector'"),
    ("insert", ("a",), {}, "Korvane.insert() missing 1 required positional argument: 'vector'"),
    ("insert", (), {"vector": [1.0]}, "Korvane.insert() missing 1 required positional argument: 'id'"),
    ("insert", ("a",), {"metadata": "{}"},
     "Korvane.insert() missing 1 required positional argument: 'vector'"),
    ("insert", ("a", [1.0], None, 4), {},
     "Korvane.insert() takes from 2 to 3 positional arguments but 4 were given"),
    ("insert", ("a", [1.0]), {"id": "b"}, "Korvane.insert() got multiple values for argument 'id'"),
    ("insert", ("a", [1.0], None), {"metadata": "{}"},
     "Korvane.insert() got multiple values for argument 'metadata'"),
    ("get", ("a", "b"), {}, "Korvane.get() takes 1 positional arguments but 2 were given"),
    ("get", (), {"id": "a", "x": 1}, "Korvane.get() got an unexpected keyword argument 'x'"),
    ("get", (), {}, "Korvane.get() missing 1 required positional argument: 'id'"),
    ("delete", (), {}, "Korvane.delete() missing 1 required positional argument: 'id'"),
    ("delete", ("a", "b", "c"), {}, "Korvane.delete() takes 1 positional arguments but 3 were given"),
    ("search", ([1.0],), {}, "Korvane.search() missing 1 required positional argument: 'k'"),
    ("search", (), {"query": [1.0], "k": 3, "x": 1},
     "Korvane.search() got an unexpected keyword argument 'x'"),
    # Order of checks: arity before keywords, keywords before missing, all before conversion.
    ("get", (5, 6), {"x": 1}, "Korvane.get() takes 1 positional arguments but 2 were given"),
    ("insert", (), {"x": 1}, "Korvane.insert() got an unexpected keyword argument 'x'"),
    ("insert", (5,), {"id": "a"}, "Korvane.insert() got multiple values for argument 'id'"),
    ("search", ("abc",), {"K": 1}, "Korvane.search() got an unexpected keyword argument 'K'"),
    # Names match exactly, including non-ASCII ones that match nothing.
    ("get", (), {"Id": "a"}, "Korvane.get() got an unexpected keyword argument 'Id'"),
    ("get", (), {"\u00efd": "a"}, "Korvane.get() got an unexpected keyword argument '\u00efd'"),
    ("get", (), {"\udc80": "a"}, "Korvane.get() got an unexpected keyword argument '\udc80'"),
]


@pytest.mark.parametrize("method, args, kwargs, message", BINDING_CASES)
def test_binding_messages(store, method, args, kwargs, message):
    call = (lambda *a, **k: Korvane(*a, **k)) if method == "__new__" else getattr(store, method)
    with pytest.raises(TypeError) as info:
        call(*args, **kwargs)
    assert type(info.value) is TypeError
    assert info.value.args == (message,)
    assert store.get_all() == []


@pytest.mark.parametrize("args, kwargs", [
    ((), {"vector": [1.0], "id": "a", "metadata": "{}"}),
    (("a",), {"metadata": "{}", "vector": [1.0]}),
])
def test_keywords_and_positionals_mix(store, args, kwargs):
    assert store.insert(*args, **kwargs) is None
    assert store.get_all() == [("a", "{}")]


def test_constructor_by_keyword_creates_the_file(tmp_path):
    path = tmp_path / "new.db"
    assert not path.exists()
    Korvane(path=str(path))
    assert path.exists()


def test_get_all_takes_no_arguments(store):
    with pytest.raises(TypeError, match="takes no arguments"):
        store.get_all(1)


def test_second_initialisation_is_refused():
    result = run_python(
        "import importlib, sys\n"
        "import korvane\n"
        "assert importlib.reload(korvane) is korvane\n"
        "first = korvane.Korvane\n"
        "del sys.modules['korvane']\n"
        "try:\n"
        "    import korvane\n"
        "except ImportError as e:\n"
        "    print(type(e).__name__, e.args)\n"
        "else:\n"
        "    print('imported again')\n"
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == (
        "ImportError ('PyO3 modules compiled for CPython 3.8 or older may only be initialized "
        "once per interpreter process',)")


def test_only_the_init_function_is_exported():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is not installed")
    path = korvane.__file__
    assert path.endswith(".abi3.so")
    out = subprocess.run([nm, "-D", "--defined-only", path], capture_output=True, text=True,
                         check=True).stdout
    names = [line.split()[-1] for line in out.splitlines() if line.strip()]
    assert names == ["PyInit_korvane"]
