"""A first tour of korvane: store a few vectors with metadata, read them back, search, delete.

Run it after building or installing the module:

    python3 examples/quickstart.py
"""

import os
import tempfile

from korvane import Korvane


def main() -> None:
    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, "animals.db")

        # The database file is created on first use and stays locked while `store` lives. The
        # metric and the dimension are saved in the file: a later Korvane(path) uses them too.
        store = Korvane.open(path, metric="cosine", dim=3)

        # upsert takes metadata as a Python value (or JSON text) and replaces any record with
        # the same id, so running this twice still leaves one "cat".
        store.upsert("cat", [0.9, 0.1, 0.0], {"legs": 4, "sound": "meow"})
        store.upsert("dog", [0.8, 0.3, 0.1], {"legs": 4, "sound": "woof"})
        store.upsert("bird", [0.1, 0.9, 0.4], {"legs": 2, "sound": "tweet"})
        store.upsert("snake", [0.0, 0.2, 0.9])  # metadata is optional

        # get and get_all give metadata as compact JSON text with the keys sorted.
        print("cat:", store.get("cat"))
        print("snake:", store.get("snake"))  # None: no metadata

        print("\nall records:")
        for record_id, metadata in store.get_all():
            print(f"  {record_id:6} {metadata}")

        # query(..., decode=True) gives metadata back as Python objects.
        print("\nnearest to [1.0, 0.2, 0.0]:")
        for record_id, score, decoded in store.query([1.0, 0.2, 0.0], 3, decode=True):
            sound = decoded["sound"] if isinstance(decoded, dict) else "-"
            print(f"  {record_id:6} score={score:.4f} sound={sound}")

        print("\nfour-legged only:",
              [hit[0] for hit in store.query([1.0, 0.2, 0.0], 3, where={"legs": 4})])

        store.delete("dog")
        print("\nafter deleting dog:", [record_id for record_id, _ in store.get_all()])

        # Closing releases the file; a new instance sees everything saved, settings included.
        store.close()
        with Korvane(path) as reopened:
            print("reopened:", [record_id for record_id, _ in reopened.get_all()],
                  reopened.metric, reopened.dim)


if __name__ == "__main__":
    main()
