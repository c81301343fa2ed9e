"""Directory trees: what the recursive and the flat walk remove and keep, and a walk that meets
a link to a file outside the tree."""

from __future__ import annotations

import os
from pathlib import Path

import pytest

import kelvarin_shred as ks


def build_tree(root: Path) -> None:
    (root / "sub" / "deeper").mkdir(parents=True)
    (root / "empty").mkdir()
    (root / "top.txt").write_bytes(b"top secret\n" * 100)
    (root / "sub" / "middle.txt").write_bytes(b"middle secret\n" * 100)
    (root / "sub" / "deeper" / "bottom.bin").write_bytes(os.urandom(70_000))


def test_recursive_removes_the_whole_tree(tmp_path):
    root = tmp_path / "tree"
    build_tree(root)
    ks.shred_directory(root)
    assert not root.exists()
    assert list(tmp_path.iterdir()) == []


def test_flat_walk_keeps_subdirectories(tmp_path):
    root = tmp_path / "tree"
    build_tree(root)
    ks.shred_directory(os.fsencode(root), recursive=False)
    assert sorted(p.relative_to(root).as_posix() for p in root.rglob("*")) == [
        "empty", "sub", "sub/deeper", "sub/deeper/bottom.bin", "sub/middle.txt"]


def test_link_out_of_the_tree_fails_the_walk_and_spares_its_target(tmp_path):
    victim = tmp_path / "victim.txt"
    victim.write_bytes(b"not part of the tree")
    root = tmp_path / "tree"
    build_tree(root)
    (root / "sub" / "link").symlink_to(victim)
    with pytest.raises(ks.ShredError) as caught:
        ks.shred_directory(root)
    assert "link" in str(caught.value)
    assert victim.read_bytes() == b"not part of the tree"
    # The walk went on past the refused entry.
    assert not (root / "top.txt").exists()
    assert not (root / "sub" / "deeper").exists()
    assert (root / "sub" / "link").is_symlink()


def test_missing_directory(tmp_path):
    with pytest.raises(ks.ShredError) as caught:
        ks.shred_directory(tmp_path / "nothing")
    assert str(tmp_path / "nothing") in str(caught.value)
