#!/usr/bin/env python3
"""Prints what the sanitized and valgrind runs install before building the modules themselves: the build
requirements, the run-time dependencies and the test extra of pyproject.toml, one per line."""
import sys
import tomllib
from pathlib import Path

project = tomllib.loads((Path(__file__).resolve().parent.parent / "pyproject.toml").read_text())
requirements = project["build-system"]["requires"] + project["project"].get("dependencies", [])
requirements += project["project"]["optional-dependencies"]["test"]
sys.stdout.write("".join(f"{r}\n" for r in requirements))
