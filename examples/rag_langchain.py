"""A small retrieval app with LangChain over korvane: the bundled notes on bicycle care go into a
KorvaneVectorStore, then a retriever answers questions with the best sections, a filter keeps to
one topic, and maximal marginal relevance spreads the answer over different sections.

Needs `pip install langchain-korvane` (integrations/langchain). Run: python examples/rag_langchain.py
"""

import tempfile
from pathlib import Path
from typing import List

from langchain_core.embeddings import Embeddings
from langchain_korvane import KorvaneVectorStore

from rag_sample import embedder, sections


class SampleEmbeddings(Embeddings):
    def __init__(self) -> None:
        self.name, self.embed = embedder()

    def embed_documents(self, texts: List[str]) -> List[List[float]]:
        return self.embed(texts)

    def embed_query(self, text: str) -> List[float]:
        return self.embed([text])[0]


def main() -> None:
    embeddings = SampleEmbeddings()
    print(f"embedding: {embeddings.name}")
    with tempfile.TemporaryDirectory() as tmp:
        parts = sections()
        store = KorvaneVectorStore.from_texts(
            [text for text, _ in parts],
            embeddings,
            metadatas=[dict(meta) for _, meta in parts],
            ids=[f"notes-{meta['section']}" for _, meta in parts],
            path=Path(tmp) / "notes.db",
        )
        retriever = store.as_retriever(search_kwargs={"k": 2})
        for question in ["How do I repair a punctured tyre?", "Which lock stops a thief?"]:
            print(f"\n{question}")
            for doc in retriever.invoke(question):
                print(f"  [{doc.metadata['title']}] {doc.page_content[:70]}...")

        question = "Which lights do I need after dark, and which tyres for winter?"
        print(f"\n{question} (safety sections only)")
        for doc, score in store.similarity_search_with_score(question, k=2, filter={"topic": "safety"}):
            print(f"  {score:.3f} [{doc.metadata['title']}]")

        print("\nchain and gears, spread over different sections (MMR):")
        for doc in store.max_marginal_relevance_search("chain gears sprockets", k=3, fetch_k=6):
            print(f"  [{doc.metadata['title']}]")
        store.close()


if __name__ == "__main__":
    main()
