# Types of the korvane extension module. Vectors are any sequence of real numbers or a 1-D float
# array; batches of vectors a 2-D float array or a sequence of vectors. Metadata is JSON text.
from types import TracebackType
from typing import Callable, Dict, Literal, Optional, Protocol, Sequence, SupportsFloat, SupportsIndex, Tuple, List, Type, Union

__all__ = ["Korvane"]

class _ArrayLike(Protocol):
    @property
    def __array_interface__(self) -> dict[str, object]: ...

Vector = Union[Sequence[SupportsFloat], _ArrayLike]
Vectors = Union[Sequence[Vector], _ArrayLike]
Metric = Literal["cosine", "dot", "euclidean", "manhattan"]
SearchResult = Tuple[str, float, Optional[str]]

class Korvane:
    def __new__(cls, path: str) -> "Korvane": ...
    @classmethod
    def open(cls, path: str, *, metric: Metric = "cosine", dim: Optional[int] = None) -> "Korvane": ...
    def insert(self, id: str, vector: Vector, metadata: Optional[str] = None) -> None: ...
    def search(self, query: Vector, k: SupportsIndex) -> List[SearchResult]: ...
    def get(self, id: str) -> Optional[str]: ...
    def get_all(self) -> List[Tuple[str, Optional[str]]]: ...
    def delete(self, id: str) -> None: ...
    def close(self) -> None: ...
    def __enter__(self) -> "Korvane": ...
    def __exit__(
        self,
        exc_type: Optional[Type[BaseException]],
        exc: Optional[BaseException],
        traceback: Optional[TracebackType],
    ) -> Literal[False]: ...
    def __len__(self) -> int: ...
    def __contains__(self, id: object) -> bool: ...
    def __bool__(self) -> Literal[True]: ...
    def query(
        self,
        query: Vector,
        k: SupportsIndex,
        *,
        where: Optional[str] = None,
        decay: Optional[SupportsFloat] = None,
        now: Optional[SupportsIndex] = None,
        ef: Optional[SupportsIndex] = None,
    ) -> List[SearchResult]: ...
    def search_many(self, queries: Vectors, k: SupportsIndex) -> List[List[SearchResult]]: ...
    def enable_index(
        self,
        m: Optional[SupportsIndex] = 16,
        ef_construction: Optional[SupportsIndex] = 200,
        ef_search: Optional[SupportsIndex] = 64,
        *,
        m_max: Optional[SupportsIndex] = None,
        m_max0: Optional[SupportsIndex] = None,
        ml: Optional[SupportsFloat] = None,
        neighbors: Optional[Literal["nearest", "diverse"]] = None,
        progress: Optional[Callable[[int, int], object]] = None,
    ) -> None: ...
    def save_index(self) -> None: ...
    def index_info(self) -> Optional[Dict[str, Union[int, float, str]]]: ...
    def set_ef_search(self, ef: SupportsIndex) -> None: ...
    def insert_many(
        self,
        ids: Sequence[str],
        vectors: Vectors,
        metadata: Optional[Sequence[Optional[str]]] = None,
        *,
        timestamps: Optional[Sequence[Optional[SupportsIndex]]] = None,
    ) -> None: ...
    def upsert(
        self,
        id: str,
        vector: Vector,
        metadata: Optional[str] = None,
        *,
        timestamp: Optional[SupportsIndex] = None,
    ) -> None: ...
    def upsert_many(
        self,
        ids: Sequence[str],
        vectors: Vectors,
        metadata: Optional[Sequence[Optional[str]]] = None,
        *,
        timestamps: Optional[Sequence[Optional[SupportsIndex]]] = None,
    ) -> None: ...
    def delete_many(self, ids: Sequence[str]) -> None: ...
