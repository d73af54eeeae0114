"""The documents the web benchmarks serve: a 100 KB JSON document and 5 MB of text."""

from __future__ import annotations

import json
import random
import zipfile
from functools import lru_cache
from pathlib import Path

CORPUS = Path(__file__).resolve().parents[2].parent / "shared" / "corpus" / "silesia"
TEXT_SIZE = 5_000_000
JSON_SIZE = 100_000


@lru_cache(maxsize=1)
def json_document() -> bytes:
    """About 100 KB of JSON: an API answer, a list of records with repeated keys, varied values."""
    rng = random.Random(1)
    words = ["alpha", "beta", "gamma", "delta", "kappa", "lambda", "sigma", "omega", "theta", "zeta"]
    records: list[dict[str, object]] = []
    size = 0
    while size < JSON_SIZE - 100:
        record = {
            "id": len(records),
            "name": " ".join(rng.choice(words) for _ in range(3)),
            "email": f"user{rng.randrange(10**6)}@example.org",
            "score": round(rng.random() * 100, 3),
            "active": rng.random() < 0.5,
            "tags": rng.sample(words, 3),
        }
        records.append(record)
        size += len(json.dumps(record)) + 2
    return json.dumps({"count": len(records), "items": records}).encode()


@lru_cache(maxsize=1)
def text_document() -> bytes:
    """5 MB of English text: the start of Silesia's dickens when the corpus is beside the repository,
    else the standard library's sources."""
    archive = CORPUS / "dickens.zip"
    if archive.exists():
        with zipfile.ZipFile(archive) as z:
            data = z.read(z.namelist()[0])
    else:
        import sysconfig

        root = Path(sysconfig.get_paths()["stdlib"])
        parts = []
        for path in sorted(root.glob("*.py")):
            parts.append(path.read_bytes())
            if sum(map(len, parts)) > TEXT_SIZE:
                break
        data = b"".join(parts)
    return (data * (TEXT_SIZE // len(data) + 1))[:TEXT_SIZE]
