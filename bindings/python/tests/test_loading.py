"""Finding the library: a named library that is missing or is not this library fails the import
with a message that says what to do."""

from __future__ import annotations

import ctypes.util
import os
import subprocess
import sys

import pytest


def import_with(library: str) -> subprocess.CompletedProcess:
    env = dict(os.environ, KELVARIN_SHRED_LIBRARY=library)
    return subprocess.run([sys.executable, "-c", "import kelvarin_shred"], env=env,
                          capture_output=True, text=True)


def test_missing_named_library(tmp_path):
    result = import_with(str(tmp_path / "libnothing.so"))
    assert result.returncode != 0
    assert "ImportError" in result.stderr
    assert "KELVARIN_SHRED_LIBRARY" in result.stderr


def test_named_library_that_is_another_library():
    libc = ctypes.util.find_library("c")
    if libc is None:
        pytest.skip("no C library to name")
    result = import_with(libc)
    assert result.returncode != 0
    assert "does not export shred_init" in result.stderr
