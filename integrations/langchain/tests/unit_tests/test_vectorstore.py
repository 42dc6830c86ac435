"""What the standard suite leaves out: filters, MMR over stored vectors, relevance, reopening."""

from typing import Dict, List

import pytest
from korvane import Korvane
from langchain_core.embeddings import Embeddings

from langchain_korvane import PAGE_CONTENT_KEY, KorvaneVectorStore

class TableEmbeddings(Embeddings):
    """Each text's vector from a table, so the geometry of a test is spelled out."""

    def __init__(self, table: Dict[str, List[float]]) -> None:
        self.table = table

    def embed_documents(self, texts: List[str]) -> List[List[float]]:
        return [self.table[t] for t in texts]

    def embed_query(self, text: str) -> List[float]:
        return self.table[text]


TABLE = {
    "apple": [1.0, 0.0, 0.0],
    "apple pie": [1.0, 0.02, 0.0],
    "pear": [0.8, 0.0, 0.6],
    "car": [0.0, -1.0, 0.0],
    "q": [1.0, 0.0, 0.01],
}


@pytest.fixture()
def store(tmp_path):
    s = KorvaneVectorStore(tmp_path / "lc.db", TableEmbeddings(TABLE))
    s.add_texts(
        ["apple", "apple pie", "pear", "car"],
        [{"year": 2019, "kind": "fruit"}, {"year": 2021, "kind": "dish"},
         {"year": 2023, "kind": "fruit"}, {"year": 2020, "kind": "vehicle"}],
        ids=["a", "ap", "p", "c"],
    )
    yield s
    s.close()


def test_scores_relevance_and_retriever(store):
    hits = store.similarity_search_with_score("q", k=4)
    assert [d.id for d, _ in hits] == ["a", "ap", "p", "c"]
    assert hits[0][0].page_content == "apple" and hits[0][0].metadata == {"year": 2019, "kind": "fruit"}
    relevance = store.similarity_search_with_relevance_scores("q", k=4)
    scores = [r for _, r in relevance]
    assert scores == sorted(scores, reverse=True) and all(0.0 <= r <= 1.0 for r in scores)
    assert [d.id for d in store.as_retriever(search_kwargs={"k": 2}).invoke("q")] == ["a", "ap"]


def test_mmr_prefers_a_different_document_over_a_near_duplicate(store):
    assert [d.id for d in store.similarity_search("q", k=2)] == ["a", "ap"]
    mmr = store.max_marginal_relevance_search("q", k=2, fetch_k=4, lambda_mult=0.5)
    assert [d.id for d in mmr] == ["a", "p"]


def test_filter_language_in_search_mmr_and_delete(store):
    newer = {"year": {"$gt": 2019}}
    assert [d.id for d in store.similarity_search("q", k=4, filter=newer)] == ["ap", "p", "c"]
    either = {"$or": [{"kind": "vehicle"}, {"year": {"$gte": 2023}}]}
    assert [d.id for d in store.max_marginal_relevance_search("q", k=4, filter=either)] == ["p", "c"]
    store.delete(filter={"kind": {"$in": ["fruit", "dish"]}})
    assert [d.id for d in store.similarity_search("q", k=4)] == ["c"]


def test_reopen_keeps_replacements_and_the_metric(tmp_path):
    path = tmp_path / "reopen.db"
    s = KorvaneVectorStore(path, TableEmbeddings(TABLE), metric="euclidean")
    s.add_texts(["apple", "car"], ids=["x", "y"])
    s.add_texts(["pear"], [{"v": 2}], ids=["x"])  # replaces x
    s.close()
    s = KorvaneVectorStore.from_texts([], TableEmbeddings(TABLE), path=path, metric="euclidean")
    hits = s.similarity_search_with_score("apple", k=3)
    assert [(d.id, d.page_content, d.metadata) for d, _ in hits] == [("x", "pear", {"v": 2}), ("y", "car", {})]
    assert hits[0][1] < hits[1][1]  # distances, nearest first
    s.close()


def test_reserved_key_is_refused(store):
    with pytest.raises(ValueError, match=PAGE_CONTENT_KEY):
        store.add_texts(["pear"], [{PAGE_CONTENT_KEY: "x"}])
