"""Shared fixtures. The suite runs against the library that KELVARIN_SHRED_LIBRARY names (or the
installed one); its path is printed in pytest's header."""

from __future__ import annotations

import os
from pathlib import Path
from typing import Callable

import pytest

import kelvarin_shred
from kelvarin_shred import _native


def pytest_report_header() -> str:
    return f"kelvarin-shred library: {_native.library_path}"


@pytest.fixture
def make_file(tmp_path: Path) -> Callable[..., Path]:
    """Writes a file with the given content (or `size` bytes of text) and returns its path."""

    def make(name: str = "secret.txt", content: bytes = b"", size: int = 0) -> Path:
        path = tmp_path / name
        if not content:
            line = b"password=correct horse battery staple\n"
            content = (line * (size // len(line) + 1))[:size] if size else line
        path.write_bytes(content)
        return path

    return make


@pytest.fixture
def big_file(tmp_path: Path) -> Path:
    """A 32 MiB file of real data: with the Gutmann method a job on it runs for many seconds."""
    path = tmp_path / "big.img"
    with open(path, "wb") as out:
        block = os.urandom(1 << 20)
        for _ in range(32):
            out.write(block)
    return path


@pytest.fixture
def lib():
    """The raw ctypes library, for comparing the package with direct calls."""
    return kelvarin_shred._native.lib
