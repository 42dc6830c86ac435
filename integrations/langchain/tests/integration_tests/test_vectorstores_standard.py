"""LangChain's standard vector store suite, sync and async, run as it ships."""

from typing import Generator

import pytest
from langchain_core.vectorstores import VectorStore
from langchain_tests.integration_tests import VectorStoreIntegrationTests

from langchain_korvane import KorvaneVectorStore


class TestKorvaneStandard(VectorStoreIntegrationTests):
    @pytest.fixture()
    def vectorstore(self, tmp_path) -> Generator[VectorStore, None, None]:  # type: ignore[override]
        store = KorvaneVectorStore(tmp_path / "standard.db", self.get_embeddings())
        yield store
        store.close()
