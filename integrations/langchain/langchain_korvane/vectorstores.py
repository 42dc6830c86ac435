"""LangChain's VectorStore over one korvane store file.

Each Document is one record: its id, the embedding of its text, and as metadata a JSON object of
the Document's metadata plus its text under the reserved key ``PAGE_CONTENT_KEY``. Filters are
the store's own filter language (``{"year": {"$gte": 2020}}``, ``{"$or": [...]}``), handed to
the store unchanged; the store evaluates them, keeps one record per id and returns the vectors
that maximal marginal relevance re-ranks.
"""

from __future__ import annotations

import json
import os
import uuid
from typing import Any, Callable, Dict, Iterable, List, Literal, Optional, Sequence, Tuple, Type, Union

import numpy as np
from korvane import Korvane
from langchain_core.documents import Document
from langchain_core.embeddings import Embeddings
from langchain_core.vectorstores import VectorStore
from langchain_core.vectorstores.utils import maximal_marginal_relevance

#: The metadata key that holds a Document's text inside the stored record.
PAGE_CONTENT_KEY = "_page_content"

Filter = Dict[str, Any]
Metric = Literal["cosine", "dot", "euclidean", "manhattan"]


class KorvaneVectorStore(VectorStore):
    """A LangChain vector store kept in the korvane store file at ``path``.

    ``metric`` is the store's scoring ("cosine", "dot", "euclidean" or "manhattan"); scores
    returned by ``similarity_search_with_score`` are the store's own (similarities for cosine
    and dot, highest first; distances for the others, lowest first). The file stays locked
    until ``close()``.
    """

    def __init__(
        self,
        path: Union[str, "os.PathLike[str]"],
        embedding: Embeddings,
        *,
        metric: Metric = "cosine",
        dim: Optional[int] = None,
    ) -> None:
        self._embedding = embedding
        self._store = Korvane.open(path, metric=metric, dim=dim)

    @property
    def embeddings(self) -> Embeddings:
        return self._embedding

    @property
    def store(self) -> Korvane:
        """The underlying korvane store."""
        return self._store

    def close(self) -> None:
        """Closes the store file and releases its lock; closing again does nothing."""
        self._store.close()

    # Writing ---------------------------------------------------------------------------------

    def add_texts(
        self,
        texts: Iterable[str],
        metadatas: Optional[List[Dict[str, Any]]] = None,
        *,
        ids: Optional[List[str]] = None,
        **kwargs: Any,
    ) -> List[str]:
        """Embeds and stores the texts in one transaction; an id already stored is replaced."""
        texts = list(texts)
        if not texts:
            return []
        metadatas = metadatas or [{} for _ in texts]
        # add_documents hands over the Documents' ids, None where a Document has none.
        given: List[Optional[str]] = list(ids) if ids is not None else [None] * len(texts)
        if not len(metadatas) == len(given) == len(texts):
            raise ValueError("texts, metadatas and ids must have the same length")
        made = [i if i is not None else str(uuid.uuid4()) for i in given]
        vectors = self._embedding.embed_documents(texts)
        self._store.upsert_many(made, vectors, [_record(t, m) for t, m in zip(texts, metadatas)])
        return made

    @classmethod
    def from_texts(
        cls: Type["KorvaneVectorStore"],
        texts: List[str],
        embedding: Embeddings,
        metadatas: Optional[List[Dict[str, Any]]] = None,
        *,
        ids: Optional[List[str]] = None,
        path: Union[str, "os.PathLike[str]", None] = None,
        metric: Metric = "cosine",
        **kwargs: Any,
    ) -> "KorvaneVectorStore":
        """Opens (or creates) the store at ``path`` and adds the texts."""
        if path is None:
            raise ValueError("KorvaneVectorStore.from_texts needs path=, the store file")
        store = cls(path, embedding, metric=metric, **kwargs)
        store.add_texts(texts, metadatas, ids=ids)
        return store

    def delete(
        self, ids: Optional[List[str]] = None, *, filter: Optional[Filter] = None, **kwargs: Any
    ) -> Optional[bool]:
        """Deletes the records with these ids (unknown ids are ignored), or, with ``filter``,
        every record the filter matches, in one transaction."""
        if ids is None and filter is None:
            raise ValueError("delete needs ids or filter")
        if ids:
            self._store.delete_many(list(ids))
        if filter is not None:
            self._store.delete_where(filter)
        return True

    # Reading ---------------------------------------------------------------------------------

    def get_by_ids(self, ids: Sequence[str], /) -> List[Document]:
        documents = []
        for id in ids:
            metadata = self._store.get(id)
            if metadata is not None:
                documents.append(_document(id, json.loads(metadata)))
        return documents

    def similarity_search(
        self, query: str, k: int = 4, filter: Optional[Filter] = None, **kwargs: Any
    ) -> List[Document]:
        return [doc for doc, _ in self.similarity_search_with_score(query, k, filter=filter)]

    def similarity_search_with_score(
        self, query: str, k: int = 4, filter: Optional[Filter] = None, **kwargs: Any
    ) -> List[Tuple[Document, float]]:
        vector = self._embedding.embed_query(query)
        return self.similarity_search_by_vector_with_score(vector, k, filter=filter)

    def similarity_search_by_vector(
        self, embedding: List[float], k: int = 4, filter: Optional[Filter] = None, **kwargs: Any
    ) -> List[Document]:
        return [
            doc for doc, _ in self.similarity_search_by_vector_with_score(embedding, k, filter)
        ]

    def similarity_search_by_vector_with_score(
        self, embedding: List[float], k: int = 4, filter: Optional[Filter] = None
    ) -> List[Tuple[Document, float]]:
        hits = self._store.query(embedding, k, where=filter, decode=True)
        return [(_document(id, metadata), score) for id, score, metadata in hits]

    def _select_relevance_score_fn(self) -> Callable[[float], float]:
        # Relevance in [0, 1], 1 the nearest. Cosine and dot scores are similarities in [-1, 1]
        # for unit-length embeddings; a Euclidean distance between unit vectors lies in [0, 2].
        if self._store.metric in ("cosine", "dot"):
            return lambda score: (1.0 + score) / 2.0
        if self._store.metric == "euclidean":
            return lambda distance: 1.0 - distance / 2.0
        return lambda distance: 1.0 / (1.0 + distance)

    def max_marginal_relevance_search(
        self,
        query: str,
        k: int = 4,
        fetch_k: int = 20,
        lambda_mult: float = 0.5,
        filter: Optional[Filter] = None,
        **kwargs: Any,
    ) -> List[Document]:
        vector = self._embedding.embed_query(query)
        return self.max_marginal_relevance_search_by_vector(
            vector, k, fetch_k, lambda_mult, filter=filter
        )

    def max_marginal_relevance_search_by_vector(
        self,
        embedding: List[float],
        k: int = 4,
        fetch_k: int = 20,
        lambda_mult: float = 0.5,
        filter: Optional[Filter] = None,
        **kwargs: Any,
    ) -> List[Document]:
        """The ``fetch_k`` nearest records, re-ranked by maximal marginal relevance over their
        stored vectors; ``k`` of them are returned."""
        hits = self._store.query(embedding, fetch_k, where=filter, decode=True)
        if not hits:
            return []
        candidates = self._store.get_vectors([id for id, _, _ in hits])
        chosen = maximal_marginal_relevance(
            np.asarray(embedding, dtype=np.float32), candidates, lambda_mult=lambda_mult, k=k
        )
        return [_document(hits[i][0], hits[i][2]) for i in chosen]


def _record(text: str, metadata: Optional[Dict[str, Any]]) -> Dict[str, Any]:
    record = dict(metadata or {})
    if PAGE_CONTENT_KEY in record:
        raise ValueError(f"metadata key {PAGE_CONTENT_KEY!r} is reserved for the page content")
    record[PAGE_CONTENT_KEY] = text
    return record


def _document(id: str, record: Any) -> Document:
    metadata = dict(record) if isinstance(record, dict) else {}
    text = metadata.pop(PAGE_CONTENT_KEY, "")
    return Document(id=id, page_content=text, metadata=metadata)


__all__ = ["KorvaneVectorStore", "PAGE_CONTENT_KEY"]
