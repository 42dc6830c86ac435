"""LlamaIndex integration of korvane, the embedded vector store."""

from llama_index.vector_stores.korvane.base import KorvaneVectorStore, to_where

__all__ = ["KorvaneVectorStore", "to_where"]
