"""The free-space wipe through the package, on a loop-mounted ext4 image (the ext4_image fixture):
the real disk is never filled. Needs root and mkfs.ext4; skips otherwise."""

from __future__ import annotations

import os
import shutil
import time
from pathlib import Path

import pytest

import kelvarin_shred as ks


def fill_left(mount: Path) -> bool:
    return any(name.startswith("__shred_fill_") for name in os.listdir(mount))


def test_wipe_fills_reports_and_leaves_nothing(ext4_image) -> None:
    image = ext4_image.mount
    free_before = shutil.disk_usage(image).free
    ks.free_space(image)
    report = ks.stats()
    assert report["files_shredded"] == 0
    assert report["passes_completed"] == 1
    assert report["free_space_wiped"] > 0.9 * free_before
    assert not fill_left(image)
    assert shutil.disk_usage(image).free >= free_before - (1 << 20)


def test_refusals_raise_the_library_message(ext4_image) -> None:
    image = ext4_image.mount
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


def test_cancelled_job_removes_its_fill(ext4_image) -> None:
    image = ext4_image.mount
    with ks.free_space_async(os.fsencode(image), "gutmann") as job:
        deadline = time.monotonic() + 60
        while job.progress < 5 and not job.done and time.monotonic() < deadline:
            time.sleep(0.005)
        assert not job.done
        job.cancel()
        assert job.wait(60)
    assert job.cancelled
    assert not fill_left(image)
