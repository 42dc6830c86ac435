"""LlamaIndex's vector store over one korvane store file.

Each node is one record: the node id, its embedding, and as metadata the node's metadata at the
top level plus LlamaIndex's own keys (``_node_content`` with the whole node and its text,
``_node_type``, ``ref_doc_id``, ``doc_id``, ``document_id``). MetadataFilters become the store's
filter language (``to_where``), so filtering, deleting a source document and clearing all happen
inside the store, and MMR re-ranks the nearest records by the vectors the store returns.
"""

from __future__ import annotations

import json
import os
from typing import Any, Dict, List, Literal, Optional, Sequence, Tuple, Union

from korvane import Korvane
from llama_index.core.bridge.pydantic import PrivateAttr
from llama_index.core.indices.query.embedding_utils import get_top_k_mmr_embeddings
from llama_index.core.schema import BaseNode
from llama_index.core.vector_stores.types import (
    BasePydanticVectorStore,
    FilterCondition,
    FilterOperator,
    MetadataFilter,
    MetadataFilters,
    VectorStoreQuery,
    VectorStoreQueryMode,
    VectorStoreQueryResult,
)
from llama_index.core.vector_stores.utils import metadata_dict_to_node, node_to_metadata_dict

Metric = Literal["cosine", "dot", "euclidean", "manhattan"]

_RANGES = {
    FilterOperator.EQ: "$eq",
    FilterOperator.NE: "$ne",
    FilterOperator.GT: "$gt",
    FilterOperator.GTE: "$gte",
    FilterOperator.LT: "$lt",
    FilterOperator.LTE: "$lte",
    FilterOperator.IN: "$in",
    FilterOperator.NIN: "$nin",
    FilterOperator.CONTAINS: "$contains",
}


def _condition(f: MetadataFilter) -> Dict[str, Any]:
    op = f.operator
    if op == FilterOperator.EQ and not isinstance(f.value, dict):
        return {f.key: f.value}
    if op in _RANGES:
        return {f.key: {_RANGES[op]: f.value}}
    if op in (FilterOperator.ANY, FilterOperator.ALL):
        values = f.value if isinstance(f.value, list) else [f.value]
        each = [{f.key: {"$contains": v}} for v in values]
        if not each:  # any of nothing holds for no record, all of nothing for every record
            return {f.key: {"$in": []}} if op == FilterOperator.ANY else {}
        return {"$or" if op == FilterOperator.ANY else "$and": each}
    if op == FilterOperator.IS_EMPTY:
        return {"$or": [{f.key: {"$exists": False}}, {f.key: None}, {f.key: []}]}
    raise NotImplementedError(f"korvane's filters have no {op.value!r} (substring) match")


def to_where(filters: Optional[MetadataFilters]) -> Optional[Dict[str, Any]]:
    """MetadataFilters as the store's filter language; ``None`` for no filters."""
    if filters is None:
        return None
    parts = [to_where(f) if isinstance(f, MetadataFilters) else _condition(f) for f in filters.filters]
    parts = [p for p in parts if p is not None]
    condition = filters.condition or FilterCondition.AND
    if condition == FilterCondition.NOT:
        return {"$not": {"$and": parts}} if parts else {"$not": {}}
    if not parts:
        return {}
    if len(parts) == 1:
        return parts[0]
    return {"$or" if condition == FilterCondition.OR else "$and": parts}


def _both(a: Optional[Dict[str, Any]], b: Optional[Dict[str, Any]]) -> Optional[Dict[str, Any]]:
    if a is None or b is None:
        return a if b is None else b
    return {"$and": [a, b]}


class KorvaneVectorStore(BasePydanticVectorStore):
    """A LlamaIndex vector store kept in the korvane store file at ``path``.

    ``metric`` is the store's scoring ("cosine", "dot", "euclidean" or "manhattan"); query
    similarities are the store's scores for cosine and dot, and ``1 / (1 + distance)`` for the
    two distances, so that greater is nearer with every metric. The file stays locked until
    ``close()``.
    """

    stores_text: bool = True
    flat_metadata: bool = False
    path: str
    metric: Metric = "cosine"

    _store: Korvane = PrivateAttr()

    def __init__(
        self, path: Union[str, "os.PathLike[str]"], *, metric: Metric = "cosine", **kwargs: Any
    ) -> None:
        super().__init__(path=os.fspath(path), metric=metric, **kwargs)  # type: ignore[call-arg]
        self._store = Korvane.open(self.path, metric=metric)

    @classmethod
    def class_name(cls) -> str:
        return "KorvaneVectorStore"

    @property
    def client(self) -> Korvane:
        return self._store

    def close(self) -> None:
        """Closes the store file and releases its lock; closing again does nothing."""
        self._store.close()

    def add(self, nodes: Sequence[BaseNode], **add_kwargs: Any) -> List[str]:
        """Stores the nodes in one transaction; a node id already stored is replaced."""
        if not nodes:
            return []
        ids = [n.node_id for n in nodes]
        metadata = [
            node_to_metadata_dict(n, remove_text=False, flat_metadata=self.flat_metadata)
            for n in nodes
        ]
        self._store.upsert_many(ids, [n.get_embedding() for n in nodes], metadata)
        return ids

    def delete(self, ref_doc_id: str, **delete_kwargs: Any) -> None:
        """Deletes every node of the source document ``ref_doc_id``."""
        self._delete_where({"ref_doc_id": ref_doc_id})

    def delete_nodes(
        self,
        node_ids: Optional[List[str]] = None,
        filters: Optional[MetadataFilters] = None,
        **delete_kwargs: Any,
    ) -> None:
        """Deletes the nodes with these ids, or that the filters match, or, given both, the
        nodes with these ids that the filters match."""
        where = to_where(filters)
        if where is None:
            if node_ids is not None:
                self._store.delete_many(node_ids)
        elif node_ids is None:
            self._delete_where(where)
        else:
            wanted = set(node_ids)
            self._store.delete_many([id for id, _ in self._select(where) if id in wanted])

    def clear(self) -> None:
        """Deletes every node."""
        self._delete_where({})

    def get_nodes(
        self, node_ids: Optional[List[str]] = None, filters: Optional[MetadataFilters] = None
    ) -> List[BaseNode]:
        """The nodes with these ids (unknown ones are left out) that the filters match; all
        the filters match without ids, every node without either."""
        where = to_where(filters)
        if node_ids is not None and where is None:
            found = (self._store.get(id) for id in node_ids)
            return [_node(json.loads(m)) for m in found if m is not None]
        rows = self._select(where)
        if node_ids is not None:
            wanted = set(node_ids)
            rows = [(id, m) for id, m in rows if id in wanted]
        return [_node(m) for _, m in rows]

    def query(self, query: VectorStoreQuery, **kwargs: Any) -> VectorStoreQueryResult:
        if query.query_embedding is None:
            raise ValueError("KorvaneVectorStore answers embedding queries only")
        vector = list(query.query_embedding)
        if query.node_ids:
            raise NotImplementedError("KorvaneVectorStore cannot restrict a query to node ids")
        where = to_where(query.filters)
        if query.doc_ids:
            where = _both(where, {"ref_doc_id": {"$in": list(query.doc_ids)}})
        k = query.similarity_top_k
        if query.mode == VectorStoreQueryMode.MMR:
            return self._mmr(query, vector, where, **kwargs)
        if query.mode != VectorStoreQueryMode.DEFAULT:
            raise NotImplementedError(f"KorvaneVectorStore has no {query.mode.value!r} query mode")
        hits = self._query(vector, k, where)
        return VectorStoreQueryResult(
            nodes=[_node(m) for _, _, m in hits],
            similarities=[self._similarity(s) for _, s, _ in hits],
            ids=[id for id, _, _ in hits],
        )

    def _mmr(
        self, query: VectorStoreQuery, vector: List[float], where: Optional[Dict[str, Any]], **kwargs: Any
    ) -> VectorStoreQueryResult:
        k = query.similarity_top_k
        fetch_k = kwargs.get("mmr_prefetch_k") or k * kwargs.get("mmr_prefetch_factor", 4)
        threshold = query.mmr_threshold if query.mmr_threshold is not None else kwargs.get("mmr_threshold")
        hits = self._query(vector, max(k, fetch_k), where)
        if not hits:
            return VectorStoreQueryResult(nodes=[], similarities=[], ids=[])
        ids = [id for id, _, _ in hits]
        vectors = self._store.get_vectors(ids)
        similarities, chosen = get_top_k_mmr_embeddings(
            vector, vectors.tolist(), similarity_top_k=k,
            embedding_ids=list(range(len(ids))), mmr_threshold=threshold,
        )
        return VectorStoreQueryResult(
            nodes=[_node(hits[i][2]) for i in chosen],
            similarities=list(similarities),
            ids=[ids[i] for i in chosen],
        )

    def _similarity(self, score: float) -> float:
        return score if self.metric in ("cosine", "dot") else 1.0 / (1.0 + score)

    def _query(self, vector: List[float], k: int, where: Optional[Dict[str, Any]]) -> List[Tuple[str, float, Any]]:
        return self._store.query(vector, k, where=where, decode=True)

    def _select(self, where: Optional[Dict[str, Any]]) -> List[Tuple[str, Any]]:
        return self._store.select(where, decode=True)

    def _delete_where(self, where: Dict[str, Any]) -> None:
        self._store.delete_where(where)


def _node(metadata: Any) -> BaseNode:
    return metadata_dict_to_node(metadata if isinstance(metadata, dict) else {})
