"""A small retrieval app with LlamaIndex over korvane: the bundled notes on bicycle care become
nodes of a VectorStoreIndex kept in a KorvaneVectorStore; a retriever answers questions with the
best sections, metadata filters keep to one topic, and deleting a source document removes its
nodes inside the store.

Needs `pip install llama-index-vector-stores-korvane` (integrations/llama-index).
Run: python examples/rag_llamaindex.py
"""

import tempfile
from pathlib import Path
from typing import List

from llama_index.core import StorageContext, VectorStoreIndex
from llama_index.core.base.embeddings.base import BaseEmbedding
from llama_index.core.schema import NodeRelationship, RelatedNodeInfo, TextNode
from llama_index.core.vector_stores.types import FilterOperator, MetadataFilter, MetadataFilters
from llama_index.vector_stores.korvane import KorvaneVectorStore

from rag_sample import embedder, sections


class SampleEmbedding(BaseEmbedding):
    def _embed(self, texts: List[str]) -> List[List[float]]:
        return embedder()[1](texts)

    def _get_query_embedding(self, query: str) -> List[float]:
        return self._embed([query])[0]

    async def _aget_query_embedding(self, query: str) -> List[float]:
        return self._get_query_embedding(query)

    def _get_text_embedding(self, text: str) -> List[float]:
        return self._embed([text])[0]

    def _get_text_embeddings(self, texts: List[str]) -> List[List[float]]:
        return self._embed(texts)


def main() -> None:
    print(f"embedding: {embedder()[0]}")
    with tempfile.TemporaryDirectory() as tmp:
        store = KorvaneVectorStore(Path(tmp) / "notes.db")
        nodes = [
            TextNode(
                id_=f"notes-{meta['section']}", text=text, metadata=dict(meta),
                # Each topic stands for a source document here, so it can be deleted as one.
                relationships={NodeRelationship.SOURCE: RelatedNodeInfo(node_id=str(meta["topic"]))},
            )
            for text, meta in sections()
        ]
        index = VectorStoreIndex(
            nodes,
            storage_context=StorageContext.from_defaults(vector_store=store),
            embed_model=SampleEmbedding(),
        )
        for question in ["How do I repair a punctured tyre?", "Where should the saddle be?"]:
            print(f"\n{question}")
            for hit in index.as_retriever(similarity_top_k=2).retrieve(question):
                print(f"  {hit.score:.3f} [{hit.node.metadata['title']}] {hit.node.get_content()[:60]}...")

        safety = MetadataFilters(filters=[MetadataFilter(key="topic", operator=FilterOperator.EQ, value="safety")])
        question = "Which lights do I need after dark, and which tyres for winter?"
        print(f"\n{question} (safety sections only)")
        for hit in index.as_retriever(similarity_top_k=2, filters=safety).retrieve(question):
            print(f"  {hit.score:.3f} [{hit.node.metadata['title']}]")

        store.delete("maintenance")
        print(f"\nafter deleting the maintenance notes: {len(store.get_nodes())} sections left")
        store.close()


if __name__ == "__main__":
    main()
