"""The free-space wipe through the package, on a loop-mounted ext4 image: the real disk is never
filled. Needs root and mkfs.ext4; skips otherwise."""

from __future__ import annotations

import os
import shutil
import subprocess
import time
from pathlib import Path
from typing import Iterator

import pytest

import kelvarin_shred as ks

pytestmark = [
    pytest.mark.skipif(os.name != "posix" or os.geteuid() != 0, reason="mounting needs root"),
    pytest.mark.skipif(shutil.which("mkfs.ext4") is None, reason="mkfs.ext4 is not installed"),
]


@pytest.fixture
def image(tmp_path: Path) -> Iterator[Path]:
    """A 64 MiB ext4 image mounted on a directory; unmounted afterwards whatever happens."""
    raw = tmp_path / "disk.img"
    with open(raw, "wb") as out:
        out.truncate(64 << 20)
    subprocess.run(["mkfs.ext4", "-q", "-F", str(raw)], check=True)
    mount = tmp_path / "mnt"
    mount.mkdir()
    mounted = subprocess.run(["mount", "-o", "loop", str(raw), str(mount)],
                             capture_output=True, text=True)
    if mounted.returncode != 0:
        pytest.skip(f"cannot loop-mount an ext4 image: {mounted.stderr.strip()}")
    try:
        yield mount
    finally:
        subprocess.run(["umount", "-l", str(mount)], check=False)


def fill_left(mount: Path) -> bool:
    return any(name.startswith("__shred_fill_") for name in os.listdir(mount))


def test_wipe_fills_reports_and_leaves_nothing(image: Path) -> None:
    free_before = shutil.disk_usage(image).free
    ks.free_space(image)
    report = ks.stats()
    assert report["files_shredded"] == 0
    assert report["passes_completed"] == 1
    assert report["free_space_wiped"] > 0.9 * free_before
    assert not fill_left(image)
    assert shutil.disk_usage(image).free >= free_before - (1 << 20)


def test_refusals_raise_the_library_message(image: Path, tmp_path: Path) -> None:
    plain = image / "plain.txt"
    plain.write_text("not a directory")
    with pytest.raises(ks.ShredError) as raised:
        ks.free_space(plain)
    assert str(raised.value) == f"Not a directory: {plain}"
    with pytest.raises(ks.ShredError) as raised:
        ks.free_space("/proc")
    assert "pseudo file system" in str(raised.value)
    with pytest.raises(ValueError):
        ks.free_space(image, "custom")


def test_cancelled_job_removes_its_fill(image: Path) -> None:
    with ks.free_space_async(os.fsencode(image), "gutmann") as job:
        deadline = time.monotonic() + 60
        while job.progress < 5 and not job.done and time.monotonic() < deadline:
            time.sleep(0.005)
        assert not job.done
        job.cancel()
        assert job.wait(60)
    assert job.cancelled
    assert not fill_left(image)
