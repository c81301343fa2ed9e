"""Single files: what is left after a shred, the methods and their statistics, arguments that
must be refused before anything is touched, path types, verify and assess."""

from __future__ import annotations

import errno
import os
import secrets
import subprocess
import sys
import tempfile
from pathlib import Path

import pytest

import kelvarin_shred as ks


class TestShredFile:
    def test_file_is_gone_and_its_inode_holds_nothing(self, make_file, tmp_path):
        path = make_file(size=300_000)
        # An open descriptor keeps the inode alive after the last name is gone: what it reads
        # is what any other holder of the file could still read.
        with open(path, "rb") as held:
            ks.shred_file(path)
            assert held.read() == b""
            assert os.fstat(held.fileno()).st_size == 0
        assert not path.exists()
        assert list(tmp_path.iterdir()) == [], "no renamed leftover may stay in the directory"

    def test_old_blocks_are_overwritten_on_disk(self, ext4_image):
        # Reads the raw ext4 image after the fact. A file removed plainly beside the shredded
        # one shows that the scan finds data that was not overwritten.
        mount = ext4_image.mount
        shredded_marker = b"SHRED-" + secrets.token_hex(16).encode()
        removed_marker = b"PLAIN-" + secrets.token_hex(16).encode()
        try:
            for name, marker in (("secret", shredded_marker), ("plain", removed_marker)):
                with open(mount / name, "wb") as out:
                    out.write(marker * (256 * 1024 // len(marker)))
                    out.flush()
                    os.fsync(out.fileno())
            ks.shred_file(mount / "secret", "quick")
            os.remove(mount / "plain")
        finally:
            ext4_image.unmount()
        data = ext4_image.image.read_bytes()
        assert removed_marker in data, "the scan must see data that was only unlinked"
        assert shredded_marker not in data

    @pytest.mark.parametrize(
        "method, passes",
        [("quick", 1), ("dod3", 3), ("dod7", 7), ("gutmann", 35),
         (0, 1), (2, 7), (ks.Method.GUTMANN, 35)],
    )
    def test_method_runs_its_passes(self, make_file, method, passes):
        size = 10_000
        ks.shred_file(make_file(size=size), method)
        stats = ks.stats()
        assert stats["files_shredded"] == 1
        assert stats["passes_completed"] == passes
        assert stats["bytes_overwritten"] == passes * size
        assert stats["duration_ms"] >= 0

    def test_custom_method_runs_the_passes_asked_for(self, make_file):
        ks.shred_file(make_file(size=5000), "custom", passes=5)
        assert ks.stats()["passes_completed"] == 5
        assert ks.stats()["bytes_overwritten"] == 25_000

    def test_methods_lists_the_library_catalogue(self, lib):
        listed = ks.methods()
        assert [m.name for m in listed] == ["quick", "dod3", "dod7", "gutmann", "custom"]
        assert [m.passes for m in listed] == [1, 3, 7, 35, None]
        for entry in listed:
            assert entry.title == lib.shred_method_name(entry.number).decode()
        assert listed[1].title == "DOD 5220.22-M (3-pass)"


class TestRefusals:
    def test_missing_file_raises_the_library_message(self, tmp_path, lib):
        missing = tmp_path / "missing"
        assert lib.shred_file(os.fsencode(missing), 1) == -1
        expected = lib.shred_last_error().decode()
        with pytest.raises(ks.ShredError) as caught:
            ks.shred_file(missing)
        assert str(caught.value) == expected
        assert str(missing) in expected
        assert caught.value.path == missing
        assert isinstance(caught.value, OSError)

    @pytest.mark.skipif(os.name != "posix", reason="POSIX permissions")
    def test_kernel_error_number_is_kept(self):
        # A file its user may not write; root may write anything, so root runs the call as
        # "nobody" in a child process.
        with tempfile.TemporaryDirectory() as directory:
            os.chmod(directory, 0o755)
            path = Path(directory) / "read-only"
            path.write_bytes(b"keep me")
            path.chmod(0o444)
            code = (
                "import kelvarin_shred as ks, sys\n"
                "try:\n"
                "    ks.shred_file(sys.argv[1])\n"
                "except ks.ShredError as e:\n"
                "    print(e.errno)\n"
            )
            user = {"user": 65534} if os.geteuid() == 0 else {}
            result = subprocess.run([sys.executable, "-c", code, str(path)], capture_output=True,
                                    text=True, **user)
            if user and "ImportError" in result.stderr:
                pytest.skip("the user nobody cannot load the package or the library")
            assert result.stdout.strip() == str(errno.EACCES), result.stderr
            assert path.read_bytes() == b"keep me"

    def test_directory_and_link_are_refused_untouched(self, tmp_path, make_file):
        victim = make_file("victim", b"keep me")
        link = tmp_path / "link"
        link.symlink_to(victim)
        with pytest.raises(ks.ShredError):
            ks.shred_file(link)
        with pytest.raises(ks.ShredError):
            ks.shred_file(tmp_path)
        assert victim.read_bytes() == b"keep me"
        assert link.is_symlink()

    def test_embedded_nul_never_reaches_the_library(self, make_file):
        # A NUL would end the C string early and name the file before it.
        prefix = make_file("a", b"keep me")
        for path in (str(prefix) + "\0b", os.fsencode(prefix) + b"\0b"):
            with pytest.raises(ValueError):
                ks.shred_file(path)
            with pytest.raises(ValueError):
                ks.shred_file_async(path)
        assert prefix.read_bytes() == b"keep me"

    @pytest.mark.parametrize(
        "call",
        [
            lambda p: ks.shred_file(p, "DOD3"),
            lambda p: ks.shred_file(p, 5),
            lambda p: ks.shred_file(p, -1),
            lambda p: ks.shred_file(p, "custom"),
            lambda p: ks.shred_file(p, "custom", passes=0),
            lambda p: ks.shred_file(p, "custom", passes=101),
            lambda p: ks.shred_file(p, "dod3", passes=3),
            lambda p: ks.shred_file_async(p, "custom"),
            lambda p: ks.shred_directory(p.parent, method="custom"),
        ],
    )
    def test_bad_arguments_touch_nothing(self, make_file, call):
        path = make_file("kept", b"keep me")
        with pytest.raises(ValueError):
            call(path)
        assert path.read_bytes() == b"keep me"

    def test_wrong_types_are_type_errors(self, make_file):
        path = make_file()
        with pytest.raises(TypeError):
            ks.shred_file(path, True)
        with pytest.raises(TypeError):
            ks.shred_file(path, "custom", passes=2.0)
        with pytest.raises(TypeError):
            ks.shred_file(12)
        assert path.exists()


class TestPaths:
    def test_str_bytes_and_pathlike(self, make_file):
        for name, spell in (("s", str), ("b", os.fsencode), ("p", Path)):
            path = make_file(name)
            ks.shred_file(spell(path))
            assert not path.exists(), name

    @pytest.mark.skipif(os.name != "posix", reason="names that are not UTF-8 exist on POSIX only")
    def test_name_that_is_not_utf8(self, tmp_path):
        raw = os.fsencode(tmp_path) + b"/caf\xe9-\xff"
        with open(raw, "wb") as out:
            out.write(b"content")
        assert ks.assess(raw)["path"] == os.fsdecode(raw)
        ks.shred_file(raw)
        assert not os.path.lexists(raw)


class TestVerifyAndAssess:
    def test_verify(self, make_file, tmp_path):
        assert ks.verify(make_file("text", size=8192)) is False
        assert ks.verify(make_file("zeros", b"\0" * 8192)) is True
        assert ks.verify(make_file("random", os.urandom(8192))) is True
        assert ks.verify(tmp_path / "missing") is False

    def test_assess_document(self, make_file):
        path = make_file()
        before = path.read_bytes()
        report = ks.assess(path)
        assert report["path"] == str(path)
        assert report["in_place"] in ("yes", "no", "unknown")
        assert report["medium"] in ("rotational", "flash", "unknown")
        assert isinstance(report["filesystem"], str) and report["filesystem"]
        for reason in report["reasons"]:
            assert set(reason) == {"code", "detail"}
        assert path.read_bytes() == before

    def test_assess_document_longer_than_the_first_buffer(self, tmp_path):
        directory = tmp_path
        for _ in range(8):
            directory = directory / ("d" * 200)
        directory.mkdir(parents=True)
        path = directory / "f"
        path.write_bytes(b"x")
        assert len(os.fsencode(path)) > 1024  # the first buffer's size
        assert ks.assess(path)["path"] == str(path)

    def test_assess_missing_path(self, tmp_path):
        with pytest.raises(ks.ShredError) as caught:
            ks.assess(tmp_path / "missing")
        assert str(tmp_path / "missing") in str(caught.value)
