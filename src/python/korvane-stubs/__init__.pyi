# Types of the korvane extension module. Vectors are any sequence of real numbers or a 1-D float
# array; batches of vectors a 2-D float array or a sequence of vectors. Metadata is JSON text in
# the original five methods; the newer ones also take it as a Python value and, with
# decode=True, give it back as one.
import os
from types import TracebackType
from typing import (Any, Callable, Dict, List, Literal, Optional, Protocol, Sequence,
                    SupportsFloat, SupportsIndex, Tuple, Type, Union, overload)

__all__ = ["Korvane"]

__version__: str

class _ArrayLike(Protocol):
    @property
    def __array_interface__(self) -> dict[str, object]: ...

Vector = Union[Sequence[SupportsFloat], _ArrayLike]
Vectors = Union[Sequence[Vector], _ArrayLike]
Metric = Literal["cosine", "dot", "euclidean", "manhattan"]
SearchResult = Tuple[str, float, Optional[str]]
Path = Union[str, "os.PathLike[str]", "os.PathLike[bytes]"]
# A JSON value as Python gives it: what decode=True returns, and what metadata may be.
JsonValue = Union[Dict[str, "JsonValue"], List["JsonValue"], str, int, float, bool, None]
# Metadata in: a str is JSON text; any other value is converted as json.dumps would write it.
MetadataIn = Union[str, Dict[str, Any], List[Any], Tuple[Any, ...], int, float, bool, None]
Where = Union[str, Dict[str, Any], None]
DecodedResult = Tuple[str, float, JsonValue]

class Korvane:
    def __new__(cls, path: Path) -> "Korvane": ...
    @classmethod
    def open(cls, path: Path, *, metric: Metric = "cosine", dim: Optional[int] = None) -> "Korvane": ...
    @property
    def metric(self) -> Metric: ...
    @property
    def dim(self) -> Optional[int]: ...
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
    @overload
    def query(
        self,
        query: Vector,
        k: SupportsIndex,
        *,
        where: Where = None,
        decay: Optional[SupportsFloat] = None,
        now: Optional[SupportsIndex] = None,
        ef: Optional[SupportsIndex] = None,
        decode: Literal[False] = False,
    ) -> List[SearchResult]: ...
    @overload
    def query(
        self,
        query: Vector,
        k: SupportsIndex,
        *,
        where: Where = None,
        decay: Optional[SupportsFloat] = None,
        now: Optional[SupportsIndex] = None,
        ef: Optional[SupportsIndex] = None,
        decode: Literal[True],
    ) -> List[DecodedResult]: ...
    @overload
    def search_many(
        self, queries: Vectors, k: SupportsIndex, *, where: Where = None,
        decode: Literal[False] = False
    ) -> List[List[SearchResult]]: ...
    @overload
    def search_many(
        self, queries: Vectors, k: SupportsIndex, *, where: Where = None, decode: Literal[True]
    ) -> List[List[DecodedResult]]: ...
    # A float32 NumPy array of shape (len(ids), dim).
    def get_vectors(self, ids: Sequence[str]) -> Any: ...
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
        threads: Optional[SupportsIndex] = None,
    ) -> None: ...
    def save_index(self) -> None: ...
    def index_info(self) -> Optional[Dict[str, Union[int, float, str]]]: ...
    def set_ef_search(self, ef: SupportsIndex) -> None: ...
    def insert_many(
        self,
        ids: Sequence[str],
        vectors: Vectors,
        metadata: Optional[Sequence[MetadataIn]] = None,
        *,
        timestamps: Optional[Sequence[Optional[SupportsIndex]]] = None,
    ) -> None: ...
    def upsert(
        self,
        id: str,
        vector: Vector,
        metadata: MetadataIn = None,
        *,
        timestamp: Optional[SupportsIndex] = None,
    ) -> None: ...
    def upsert_many(
        self,
        ids: Sequence[str],
        vectors: Vectors,
        metadata: Optional[Sequence[MetadataIn]] = None,
        *,
        timestamps: Optional[Sequence[Optional[SupportsIndex]]] = None,
    ) -> None: ...
    def delete_many(self, ids: Sequence[str]) -> None: ...
    def count(self, where: Where = None) -> int: ...
    @overload
    def select(
        self,
        where: Where = None,
        *,
        limit: Optional[SupportsIndex] = None,
        decode: Literal[False] = False,
    ) -> List[Tuple[str, Optional[str]]]: ...
    @overload
    def select(
        self, where: Where = None, *, limit: Optional[SupportsIndex] = None, decode: Literal[True]
    ) -> List[Tuple[str, JsonValue]]: ...
    def delete_where(self, where: Union[str, Dict[str, Any]]) -> int: ...
