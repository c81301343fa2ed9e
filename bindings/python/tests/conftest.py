"""Shared fixtures. The suite runs against the library that KELVARIN_SHRED_LIBRARY names (or the
installed one); its path is printed in pytest's header."""

from __future__ import annotations

import os
import shutil
import subprocess
from pathlib import Path
from typing import Callable, Iterator

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


class LoopImage:
    """A 64 MiB ext4 image loop-mounted on a directory of the test's own."""

    def __init__(self, image: Path, mount: Path) -> None:
        self.image = image
        self.mount = mount
        self.mounted = True

    def unmount(self) -> None:
        if self.mounted:
            subprocess.run(["umount", str(self.mount)], check=True)
            self.mounted = False


@pytest.fixture
def ext4_image(tmp_path: Path) -> Iterator[LoopImage]:
    """A mounted ext4 image, unmounted afterwards whatever happens; skips where mounting is not
    possible (not root, no mkfs.ext4, no loop device)."""
    if os.name != "posix" or os.geteuid() != 0:
        pytest.skip("mounting needs root")
    if shutil.which("mkfs.ext4") is None:
        pytest.skip("mkfs.ext4 is not installed")
    image = tmp_path / "fs.img"
    with open(image, "wb") as out:
        out.truncate(64 << 20)
    subprocess.run(["mkfs.ext4", "-q", "-F", str(image)], check=True)
    mount = tmp_path / "mnt"
    mount.mkdir()
    mounted = subprocess.run(["mount", "-o", "loop", str(image), str(mount)],
                             capture_output=True, text=True)
    if mounted.returncode != 0:
        pytest.skip(f"cannot loop-mount an ext4 image: {mounted.stderr.strip()}")
    loop = LoopImage(image, mount)
    try:
        yield loop
    finally:
        if loop.mounted:
            subprocess.run(["umount", "-l", str(mount)], check=False)
