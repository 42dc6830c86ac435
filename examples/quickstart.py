"""A first tour of korvane: store a few vectors with metadata, read them back, search, delete.

Run it after building or installing the module:

    python3 examples/quickstart.py
"""

import json
import os
import tempfile

from korvane import Korvane


def main() -> None:
    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, "animals.db")

        # The database file is created on first use and stays locked while `store` lives.
        store = Korvane(path)

        # Metadata is JSON text; json.dumps is the easy way to produce it from a dict.
        store.insert("cat", [0.9, 0.1, 0.0], json.dumps({"legs": 4, "sound": "meow"}))
        store.insert("dog", [0.8, 0.3, 0.1], json.dumps({"legs": 4, "sound": "woof"}))
        store.insert("bird", [0.1, 0.9, 0.4], json.dumps({"legs": 2, "sound": "tweet"}))
        store.insert("snake", [0.0, 0.2, 0.9])  # metadata is optional

        # Metadata comes back as compact JSON text with the keys sorted.
        print("cat:", store.get("cat"))
        print("snake:", store.get("snake"))  # None: no metadata

        print("\nall records:")
        for record_id, metadata in store.get_all():
            print(f"  {record_id:6} {metadata}")

        print("\nnearest to [1.0, 0.2, 0.0]:")
        for record_id, score, metadata in store.search([1.0, 0.2, 0.0], 3):
            sound = json.loads(metadata)["sound"] if metadata else "-"
            print(f"  {record_id:6} score={score:.4f} sound={sound}")

        store.delete("dog")
        print("\nafter deleting dog:", [record_id for record_id, _ in store.get_all()])

        # Dropping the last reference closes the file; a new instance sees everything saved.
        del store
        reopened = Korvane(path)
        print("reopened:", [record_id for record_id, _ in reopened.get_all()])


if __name__ == "__main__":
    main()
