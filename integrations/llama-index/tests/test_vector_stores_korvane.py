"""The checks LlamaIndex's vector store packages make: add, query (each filter operator),
delete by source document, get and delete nodes, clear, MMR, persistence across a reopen."""

from typing import List

import pytest
from korvane import Korvane
from llama_index.core.schema import NodeRelationship, RelatedNodeInfo, TextNode
from llama_index.core.vector_stores.types import (
    BasePydanticVectorStore,
    FilterCondition,
    FilterOperator,
    MetadataFilter,
    MetadataFilters,
    VectorStoreQuery,
    VectorStoreQueryMode,
)

from llama_index.vector_stores.korvane import KorvaneVectorStore, to_where

def _node(id: str, doc: str, vector: List[float], **metadata) -> TextNode:
    return TextNode(
        id_=id, text=f"text of {id}", embedding=vector, metadata=metadata,
        relationships={NodeRelationship.SOURCE: RelatedNodeInfo(node_id=doc)},
    )


NODES = [
    _node("n1", "doc-a", [1.0, 0.0, 0.0], author="ann", year=2019, tags=["x", "y"]),
    _node("n2", "doc-a", [0.9, 0.1, 0.0], author="bob", year=2021, tags=["y"]),
    _node("n3", "doc-b", [0.0, 1.0, 0.0], author="cy", year=2023.0, tags=[]),
    _node("n4", "doc-c", [0.7, 0.0, 0.7], author="ann", year=2020),
]
Q = [1.0, 0.0, 0.1]


@pytest.fixture()
def store(tmp_path):
    s = KorvaneVectorStore(tmp_path / "li.db")
    s.add(NODES)
    yield s
    s.close()


def _ids(store, filters=None, k=10, **query):
    result = store.query(VectorStoreQuery(query_embedding=Q, similarity_top_k=k, filters=filters, **query))
    return result.ids


def test_class():
    assert BasePydanticVectorStore.__name__ in [b.__name__ for b in KorvaneVectorStore.__mro__]
    assert KorvaneVectorStore.model_fields["stores_text"].default is True


def test_add_query_and_nodes_round_trip(store):
    result = store.query(VectorStoreQuery(query_embedding=Q, similarity_top_k=2))
    assert result.ids == ["n1", "n2"]
    assert result.similarities[0] > result.similarities[1]
    node = result.nodes[0]
    assert (node.node_id, node.text, node.ref_doc_id) == ("n1", "text of n1", "doc-a")
    assert node.metadata == {"author": "ann", "year": 2019, "tags": ["x", "y"]}
    assert [n.node_id for n in store.get_nodes(["n3", "missing", "n1"])] == ["n3", "n1"]


def _f(key, op, value):
    return MetadataFilters(filters=[MetadataFilter(key=key, operator=op, value=value)])


@pytest.mark.parametrize(
    "key, op, value, expected",
    [
        ("author", FilterOperator.EQ, "ann", ["n1", "n4"]),
        ("author", FilterOperator.NE, "ann", ["n2", "n3"]),
        ("year", FilterOperator.GT, 2020, ["n2", "n3"]),  # 2023.0 is a number like 2023
        ("year", FilterOperator.GTE, 2020, ["n2", "n4", "n3"]),
        ("year", FilterOperator.LT, 2021, ["n1", "n4"]),
        ("year", FilterOperator.LTE, 2021, ["n1", "n2", "n4"]),
        ("author", FilterOperator.IN, ["bob", "cy"], ["n2", "n3"]),
        ("author", FilterOperator.NIN, ["bob", "cy"], ["n1", "n4"]),
        ("tags", FilterOperator.CONTAINS, "y", ["n1", "n2"]),
        ("tags", FilterOperator.ANY, ["x", "zz"], ["n1"]),
        ("tags", FilterOperator.ALL, ["x", "y"], ["n1"]),
        ("tags", FilterOperator.IS_EMPTY, None, ["n4", "n3"]),
    ],
)
def test_each_operator(store, key, op, value, expected):
    assert _ids(store, _f(key, op, value)) == expected


def test_and_or_not_nested(store):
    ann_or_late = MetadataFilters(
        filters=[MetadataFilter(key="author", value="ann"),
                 MetadataFilter(key="year", operator=FilterOperator.GTE, value=2023)],
        condition=FilterCondition.OR,
    )
    nested = MetadataFilters(filters=[ann_or_late, MetadataFilter(key="year", operator=FilterOperator.GT, value=2019)])
    assert _ids(store, nested) == ["n4", "n3"]
    assert _ids(store, MetadataFilters(filters=[ann_or_late], condition=FilterCondition.NOT)) == ["n2"]
    assert [n.node_id for n in store.get_nodes(filters=nested)] == ["n3", "n4"]  # store order
    assert _ids(store, nested, doc_ids=["doc-b"]) == ["n3"]
    with pytest.raises(NotImplementedError, match="substring"):
        to_where(_f("author", FilterOperator.TEXT_MATCH, "an"))


def test_delete_by_document_nodes_and_clear(store):
    store.delete("doc-a")
    assert _ids(store) == ["n4", "n3"]
    store.delete_nodes(["n4"])
    assert _ids(store) == ["n3"]
    store.add(NODES[:2])
    store.clear()
    assert _ids(store) == [] and store.get_nodes() == []


def test_delete_nodes_by_filter_and_ids(store):
    store.delete_nodes(["n1", "n2", "n3"], filters=_f("author", FilterOperator.IN, ["ann", "cy"]))
    assert _ids(store) == ["n2", "n4"]


def test_mmr_skips_the_near_duplicate(store):
    assert _ids(store, k=2, mode=VectorStoreQueryMode.MMR, mmr_threshold=0.5) == ["n1", "n4"]


def test_persists_across_reopen_and_add_replaces(tmp_path):
    path = tmp_path / "reopen.db"
    s = KorvaneVectorStore(path, metric="euclidean")
    s.add(NODES)
    s.add([_node("n1", "doc-z", [0.0, 0.0, 1.0], author="zed")])
    s.close()
    s = KorvaneVectorStore(path, metric="euclidean")
    result = s.query(VectorStoreQuery(query_embedding=[0.0, 0.0, 1.0], similarity_top_k=1))
    assert result.ids == ["n1"] and result.nodes[0].metadata == {"author": "zed"}
    assert result.similarities == [1.0]  # distance 0
    assert len(s.get_nodes()) == 4
    s.close()
