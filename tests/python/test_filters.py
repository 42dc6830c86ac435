"""The filter language: count, select, delete_where and where= against a plain evaluator of the
same rules, over random metadata and random nested filters."""

import json
import random
import struct

import pytest

from korvane import Korvane


@pytest.fixture
def path(tmp_path):
    return str(tmp_path / "store.db")


def f32(x):
    return struct.unpack("f", struct.pack("f", x))[0]


# --- the rules, written plainly -------------------------------------------------------------

def is_num(v):
    return isinstance(v, (int, float)) and not isinstance(v, bool)


def same(a, b):
    if is_num(a) and is_num(b):
        return a == b  # Python compares int with float exactly
    if type(a) is not type(b) and not (is_num(a) and is_num(b)):
        return False
    if isinstance(a, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict):
        return a.keys() == b.keys() and all(same(a[k], b[k]) for k in a)
    return a == b


def order(a, b):
    if is_num(a) and is_num(b):
        return (a > b) - (a < b)
    if isinstance(a, str) and isinstance(b, str):
        x, y = a.encode(), b.encode()
        return (x > y) - (x < y)
    return None


def passes(f, meta):
    fields = meta if isinstance(meta, dict) else {}
    for key, cond in f.items():
        if key == "$and":
            ok = all(passes(g, meta) for g in cond)
        elif key == "$or":
            ok = any(passes(g, meta) for g in cond)
        elif key == "$not":
            ok = not passes(cond, meta)
        elif isinstance(cond, dict) and cond and all(k.startswith("$") for k in cond):
            ok = all(holds(op, x, key in fields, fields.get(key)) for op, x in cond.items())
        else:
            ok = key in fields and same(fields[key], cond)
        if not ok:
            return False
    return True


def holds(op, x, present, held):
    if not present:
        return op in ("$ne", "$nin") or (op == "$exists" and x is False)
    c = order(held, x)
    return {
        "$eq": lambda: same(held, x),
        "$ne": lambda: not same(held, x),
        "$gt": lambda: c == 1,
        "$gte": lambda: c in (0, 1),
        "$lt": lambda: c == -1,
        "$lte": lambda: c in (0, -1),
        "$in": lambda: any(same(held, y) for y in x),
        "$nin": lambda: not any(same(held, y) for y in x),
        "$exists": lambda: x is True,
        "$contains": lambda: isinstance(held, list) and any(same(y, x) for y in held),
    }[op]()


# --- random metadata and filters ------------------------------------------------------------

BIG = 2**53
SCALARS = [0, 1, 1.0, -1, -1.0, 2, 2.5, -0.0, BIG, BIG + 1, float(BIG), -BIG - 1, 2**63 - 1,
           -2**63, 1e300, "a", "b", "ab", "é", "", True, False, None]
COMMON = [1, 1.0, 2, BIG + 1, "a", "é", True, None]  # drawn often, so that equalities hit


def random_value(rng, depth=0):
    r = rng.random()
    if depth < 2 and r < 0.1:
        return [random_value(rng, depth + 1) for _ in range(rng.randrange(3))]
    if depth < 2 and r < 0.15:
        return {rng.choice("xy"): random_value(rng, depth + 1) for _ in range(rng.randrange(2))}
    return rng.choice(SCALARS if rng.random() < 0.5 else COMMON)


def random_meta(rng):
    r = rng.random()
    if r < 0.08:
        return None
    if r < 0.12:
        return random_value(rng)  # not an object: no fields
    return {k: random_value(rng) for k in "abc" if rng.random() < 0.7}


def random_filter(rng, depth=0):
    r = rng.random()
    if depth < 3 and r < 0.25:
        op = rng.choice(["$and", "$or"])
        return {op: [random_filter(rng, depth + 1) for _ in range(rng.randrange(1, 4))]}
    if depth < 3 and r < 0.32:
        return {"$not": random_filter(rng, depth + 1)}
    field = rng.choice("abcd")
    if rng.random() < 0.3:
        return {field: random_value(rng)}
    ops = {}
    for _ in range(rng.randrange(1, 3)):
        op = rng.choice(["$eq", "$ne", "$gt", "$gte", "$lt", "$lte", "$in", "$nin", "$exists",
                         "$contains"])
        if op in ("$in", "$nin"):
            ops[op] = [random_value(rng, 2) for _ in range(rng.randrange(4))]
        elif op == "$exists":
            ops[op] = rng.random() < 0.5
        elif op.startswith(("$g", "$l")):
            ops[op] = random_value(rng, 2)
        else:
            ops[op] = random_value(rng)
    return {field: ops}


def test_random_filters_select_what_the_rules_say(path):
    rng = random.Random(15)
    store = Korvane(path)
    metas = [random_meta(rng) for _ in range(400)]
    store.insert_many([f"r{i:03}" for i in range(400)], [[1.0, float(i)] for i in range(400)],
                      [None if m is None else json.dumps(m) for m in metas])
    live = {f"r{i:03}": m for i, m in enumerate(metas)}
    for round_ in range(300):
        f = random_filter(rng)
        want = [i for i, m in live.items() if passes(f, m)]
        as_text = json.dumps(f)
        assert [i for i, _ in store.select(f)] == want, as_text
        assert store.count(as_text) == len(want), as_text
        if round_ % 50 == 49:
            # Writes keep the value lists in step: appends, and deletes that compact.
            gone = rng.sample(sorted(live), 40)
            store.delete_many(gone)
            for i in gone:
                del live[i]
            for j in range(20):
                m = random_meta(rng)
                store.insert(f"n{round_}-{j}", [0.5, float(j)], None if m is None else json.dumps(m))
                live[f"n{round_}-{j}"] = m


def test_filtered_search_is_the_exact_search_then_the_filter(path):
    rng = random.Random(7)
    store = Korvane(path)
    n = 300
    metas = [random_meta(rng) for _ in range(n)]
    vectors = [[f32(rng.uniform(-1, 1)) for _ in range(8)] for _ in range(n)]
    store.insert_many([f"r{i:03}" for i in range(n)], vectors,
                      [None if m is None else json.dumps(m) for m in metas])
    queries = [[f32(rng.uniform(-1, 1)) for _ in range(8)] for _ in range(3)]
    everything = [store.search(q, n) for q in queries]
    for indexed in (False, True):
        if indexed:
            store.enable_index(m=8)
        for _ in range(40):
            f = random_filter(rng)
            keep = [[r for r in e if passes(f, None if r[2] is None else json.loads(r[2]))]
                    for e in everything]
            for q, want in zip(queries, keep):
                assert store.query(q, 7, where=f) == want[:7], f
            assert store.search_many(queries, 5, where=json.dumps(f)) == [w[:5] for w in keep]


def test_big_integers_and_floats_compare_by_value(path):
    store = Korvane(path)
    for i, v in enumerate(["1", "1.0", "9007199254740993", "9007199254740992.0",
                           "18446744073709551615", "-9223372036854775808", "1e19"]):
        store.insert(f"r{i}", [1.0], '{"v":%s}' % v)
    ids = lambda f: [i for i, _ in store.select(f)]  # noqa: E731
    assert ids({"v": 1}) == ["r0", "r1"]
    assert ids('{"v": 9007199254740993}') == ["r2"]
    assert ids('{"v": {"$gt": 9007199254740992}}') == ["r2", "r4", "r6"]
    assert ids('{"v": {"$lt": 18446744073709551615, "$gt": 1e18}}') == ["r6"]
    assert ids('{"v": {"$lte": -9223372036854775808.0}}') == ["r5"]


def test_delete_where_removes_in_one_write_and_counts(path):
    store = Korvane(path)
    store.insert_many(["a", "b", "c", "d"], [[1.0]] * 4,
                      ['{"size": 10}', '{"size": 2000}', None, '{"size": 5000}'])
    assert store.delete_where({"size": {"$gt": 1000}}) == 2
    assert store.delete_where('{"size": {"$gt": 1000}}') == 0
    store.close()
    assert [i for i, _ in Korvane(path).get_all()] == ["a", "c"]


@pytest.mark.parametrize("where, message", [
    ('[1]', "where must be a JSON object"),
    ({"$regex": "x"}, 'where: unknown operator "$regex"'),
    ({"a": {"$like": 1}}, 'where: unknown operator "$like" in field "a"'),
    ({"a": {"$in": 1}}, 'where: "$in" of field "a" needs an array'),
    ({"a": {"$nin": "x"}}, 'where: "$nin" of field "a" needs an array'),
    ({"$and": []}, 'where: "$and" needs a non-empty array of filters'),
    ({"$or": [1]}, 'where: "$or" needs a non-empty array of filters'),
    ({"$not": [{}]}, 'where: "$not" needs a filter object'),
    ({"a": {"$gt": [1]}}, 'where: "$gt" of field "a" cannot compare with an array or object'),
    ({"a": {"$exists": 1}}, 'where: "$exists" of field "a" needs true or false'),
    ({"a": {"$gt": 1, "b": 2}}, 'where: the condition of field "a" mixes operators with plain keys'),
    ({"$or": [{"a": 1}, {"b": {"$lt": {}}}]}, 'where: "$lt" of field "b"'),
])
def test_filter_mistakes_are_value_errors_naming_them(path, where, message):
    store = Korvane(path)
    store.insert("a", [1.0], '{"a": 1}')
    for call in (lambda: store.count(where), lambda: store.select(where),
                 lambda: store.query([1.0], 1, where=where), lambda: store.delete_where(where)):
        with pytest.raises(ValueError) as raised:
            call()
        assert str(raised.value).startswith(message)
    assert len(store) == 1


def test_select_limit_decode_and_empty_filter(path):
    store = Korvane(path)
    store.insert_many(["a", "b", "c"], [[1.0]] * 3, ['{"x": [1, {"y": null}]}', None, '"s"'])
    assert store.select() == [("a", '{"x":[1,{"y":null}]}'), ("b", None), ("c", '"s"')]
    assert store.select({}, limit=1, decode=True) == [("a", {"x": [1, {"y": None}]})]
    assert store.count({}) == store.count() == 3
    assert store.count({"x": {"$contains": {"y": None}}}) == 1
    assert store.count({"x": {"$exists": False}}) == 2
