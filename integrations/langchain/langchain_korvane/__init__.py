"""LangChain integration of korvane, the embedded vector store."""

from langchain_korvane.vectorstores import PAGE_CONTENT_KEY, KorvaneVectorStore

__all__ = ["KorvaneVectorStore", "PAGE_CONTENT_KEY"]
__version__ = "0.1.0"
