#!/usr/bin/env python3
"""kelvarin-shred.exe end to end under Wine, checked from the Linux side.

Every file the command is given lives in a fresh temporary directory of this machine, reached
through the prefix's Z: drive (Wine maps it to "/") or relative to the working directory, which
is that temporary directory too; no other path is ever passed. What is left on disk is read
directly, exit codes and output through pipes, JSON through a strict parser.

Usage: wine_cli_test.py PATH/TO/kelvarin-shred.exe   (CTest runs it as "wine_cli")
Exit status: 0 passed (some cases may skip, with their reasons), 1 failed, 77 Wine cannot run
the program at all.
"""

import fcntl
import hashlib
import json
import os
import re
import select
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import termios
import time
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
WINE_RUN = os.path.join(ROOT, "scripts", "wine-run")
EXE = ""  # set from the command line
MIB = 1024 * 1024
SKIP_EXIT = 77


def wine_prefix():
    # The same prefix scripts/wine-run chooses.
    home = os.environ.get("HOME") or "/tmp"
    return os.environ.get("KELVARIN_WINEPREFIX") or os.path.join(home, ".cache",
                                                                  "kelvarin-shred-wine")


def z_maps_root():
    link = os.path.join(wine_prefix(), "dosdevices", "z:")
    return os.path.islink(link) and os.path.realpath(link) == "/"


def disk_tmp():
    # A job on tmpfs can end before a signal reaches it, so big files go to a disk when /tmp is
    # memory.
    with open("/proc/mounts", encoding="utf-8") as mounts:
        for line in mounts:
            fields = line.split()
            if len(fields) > 2 and fields[1] == "/tmp" and fields[2] == "tmpfs":
                return "/var/tmp"
    return "/tmp"


class Result:

    def __init__(self, code, out, err):
        self.code, self.out, self.err = code, out, err

    def __repr__(self):
        return f"exit {self.code}\n--- stdout\n{self.out}--- stderr\n{self.err}"


def decode(data):
    # A Windows program writes text mode: CRLF line ends on a pipe.
    return data.decode("utf-8", errors="replace").replace("\r\n", "\n")


def strict_json(line):
    """One JSON object per line: no duplicate members, no NaN, nothing after the object."""

    def no_duplicates(pairs):
        keys = [k for k, _ in pairs]
        if len(keys) != len(set(keys)):
            raise ValueError(f"duplicate member in {line!r}")
        return dict(pairs)

    def no_constants(name):
        raise ValueError(f"{name} in {line!r}")

    value = json.loads(line, object_pairs_hook=no_duplicates, parse_constant=no_constants)
    if not isinstance(value, dict):
        raise ValueError(f"not an object: {line!r}")
    return value


def digest(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def write(path, data):
    with open(path, "wb") as f:
        f.write(data.encode() if isinstance(data, str) else data)


class WineCliTest(unittest.TestCase):
    scratch = ""

    @classmethod
    def setUpClass(cls):
        cls.scratch = os.path.realpath(tempfile.mkdtemp(prefix="kelvarin-wine-cli.",
                                                        dir=disk_tmp()))

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.scratch, ignore_errors=True)

    def setUp(self):
        self.dir = tempfile.mkdtemp(dir=self.scratch)

    def path(self, *names):
        """A Linux path inside this case's temporary directory."""
        return os.path.join(self.dir, *names)

    def win(self, path):
        """The Windows spelling of a path inside the temporary directory, through Z:."""
        path = os.path.abspath(path)
        if not path.startswith(self.dir + "/"):
            raise AssertionError(f"refusing to hand the command a path outside the test: {path}")
        if not z_maps_root():
            self.skipTest("the Wine prefix maps no Z: drive to /, so absolute paths cannot be "
                          "spelled")
        return "Z:" + path.replace("/", "\\")

    def start(self, args):
        # Files rather than pipes: a wineserver started by the program inherits its streams and
        # outlives it by seconds, so the end of a pipe would not mean the end of the program.
        out, err = tempfile.TemporaryFile(), tempfile.TemporaryFile()
        child = subprocess.Popen([WINE_RUN, EXE] + list(args), cwd=self.dir,
                                 stdin=subprocess.DEVNULL, stdout=out, stderr=err)
        child.streams = out, err
        return child

    def finish(self, child, timeout=180):
        try:
            child.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            child.kill()
            child.wait()
            self.fail(f"the command did not finish within {timeout} s")
        texts = []
        for stream in child.streams:
            stream.seek(0)
            texts.append(decode(stream.read()))
            stream.close()
        return Result(child.returncode, *texts)

    def run_cli(self, *args):
        return self.finish(self.start(args))

    def assert_error_line(self, result, path):
        """A failure names the command and the path on the error stream."""
        self.assertTrue(result.err.startswith("kelvarin-shred: "), result)
        self.assertIn(path, result.err, result)


class Shredding(WineCliTest):

    def test_files_and_trees_are_gone(self):
        absolute, relative = self.path("absolute.txt"), self.path("relative.txt")
        write(absolute, "secret\n" * 1000)
        write(relative, "secret")
        r = self.run_cli(self.win(absolute), "relative.txt")
        self.assertEqual(r.code, 0, r)
        self.assertEqual(r.out, "", r)
        self.assertFalse(os.path.lexists(absolute))
        self.assertFalse(os.path.lexists(relative))

        tree = self.path("tree")
        os.makedirs(self.path("tree", "sub", "deeper"))
        for name in ("top", "sub/inner", "sub/deeper/leaf"):
            write(os.path.join(tree, name), name)
        refused = self.run_cli(self.win(tree))
        self.assertEqual(refused.code, 1, refused)
        self.assert_error_line(refused, self.win(tree))
        self.assertEqual(open(self.path("tree", "top")).read(), "top")

        flat = self.run_cli("-d", self.win(tree))
        self.assertEqual(flat.code, 0, flat)
        self.assertFalse(os.path.lexists(self.path("tree", "top")))
        self.assertEqual(open(self.path("tree", "sub", "inner")).read(), "sub/inner")
        self.assertEqual(open(self.path("tree", "sub", "deeper", "leaf")).read(), "sub/deeper/leaf")

        recursive = self.run_cli("-r", self.win(tree))
        self.assertEqual(recursive.code, 0, recursive)
        self.assertFalse(os.path.lexists(tree))
        self.assertEqual(os.listdir(self.dir), [])

    def test_links_in_a_tree_are_neither_followed_nor_removed(self):
        # Links back up the tree would make a walk that follows them endless: two of them double
        # the work at every level.
        tree, keep = self.path("tree"), self.path("keep")
        os.makedirs(os.path.join(tree, "sub"))
        os.makedirs(keep)
        write(os.path.join(tree, "f"), "f")
        write(os.path.join(tree, "sub", "g"), "g")
        write(os.path.join(keep, "canary"), "canary")
        # "file-out" leads to a file outside the tree on the same drive, which Wine opens as the
        # file itself.
        links = {"up": "..", "up-again": "..", "upper": "../..", "out": "../../keep",
                 "file-out": "../../keep/canary"}
        for name, target in links.items():
            os.symlink(target, os.path.join(tree, "sub", name))
        # Relative: an absolute spelling reaches the path limit sooner and can end a following
        # walk by an error.
        r = self.finish(self.start(["-r", "tree"]), timeout=60)
        self.assertEqual(r.code, 1, r)
        self.assert_error_line(r, "tree")
        for name, target in links.items():
            self.assertEqual(os.readlink(os.path.join(tree, "sub", name)), target)
        self.assertFalse(os.path.lexists(os.path.join(tree, "f")))
        self.assertFalse(os.path.lexists(os.path.join(tree, "sub", "g")))
        self.assertEqual(open(os.path.join(keep, "canary")).read(), "canary")
        named = self.run_cli(self.win(os.path.join(tree, "sub", "file-out")))
        self.assertEqual(named.code, 1, named)
        self.assertEqual(open(os.path.join(keep, "canary")).read(), "canary")

    def test_read_only_file(self):
        # Wine shows a file without the owner's write bit as FILE_ATTRIBUTE_READONLY; the library
        # clears the attribute before it opens the file.
        locked = self.path("read-only.txt")
        write(locked, "read only\n" * 100)
        os.chmod(locked, 0o444)
        r = self.run_cli(self.win(locked))
        self.assertEqual(r.code, 0, r)
        self.assertFalse(os.path.lexists(locked))

    def test_non_ascii_names(self):
        # Outside every legacy code page together: the names reach the library only as UTF-8.
        name, folder = "été-жук-日本.txt", "каталог-ü"
        file, tree = self.path(name), self.path(folder)
        write(file, "x" * 4096)
        os.makedirs(os.path.join(tree, "ñ"))
        write(os.path.join(tree, "ñ", "ø.bin"), b"\x00\x01" * 100)
        write(os.path.join(tree, "π"), "pi")

        r = self.run_cli("--json", self.win(file))
        self.assertEqual(r.code, 0, r)
        lines = [strict_json(line) for line in r.out.splitlines()]
        self.assertEqual(len(lines), 1, r)
        self.assertEqual(lines[0]["path"], self.win(file))
        self.assertEqual(lines[0]["stats"]["bytes_overwritten"], 3 * 4096)
        self.assertFalse(os.path.lexists(file))

        write(file, "again")
        verbose = self.run_cli("-v", name)
        self.assertEqual(verbose.code, 0, verbose)
        self.assertTrue(verbose.out.startswith(name + ": "), verbose)
        self.assertFalse(os.path.lexists(file))

        recursive = self.run_cli("-r", folder)
        self.assertEqual(recursive.code, 0, recursive)
        self.assertFalse(os.path.lexists(tree))
        self.assertEqual(os.listdir(self.dir), [])

    def interrupt(self, args, watched):
        """Sends SIGINT once the command has begun overwriting `watched`. Wine turns it into the
        console's CTRL_C_EVENT, which reaches the program's SetConsoleCtrlHandler routine."""
        with open(watched, "rb") as f:
            head = f.read(4096)
        child = self.start(args)
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline and child.poll() is None:
            with open(watched, "rb") as f:
                if f.read(4096) != head:
                    break
            time.sleep(0.02)
        with open(watched, "rb") as f:
            self.assertNotEqual(f.read(4096), head, "the command never started writing")
        child.send_signal(signal.SIGINT)
        return self.finish(child)

    def write_big(self, path, size):
        block = os.urandom(MIB)
        with open(path, "wb") as f:
            for _ in range(size // MIB):
                f.write(block)

    def test_ctrl_c_cancels_the_job_and_leaves_the_file_at_full_length(self):
        big = self.path("big")
        size = 256 * MIB
        self.write_big(big, size)
        r = self.interrupt(["-m", "gutmann", self.win(big)], big)
        self.assertEqual(r.code, 130, r)
        self.assertTrue(os.path.exists(big), r)
        self.assertEqual(os.path.getsize(big), size)
        self.assertIn("cancelled", r.err, r)

    def test_ctrl_c_during_custom_passes_stops_before_the_next_path(self):
        first, second = self.path("first"), self.path("second")
        self.write_big(first, 16 * MIB)
        self.write_big(second, 16 * MIB)
        before = digest(second)
        r = self.interrupt(["-n", "20", self.win(first), self.win(second)], first)
        self.assertIn("interrupted", r.err, r)
        # The command ends at once with 130 while its worker thread may sit in a flush. Wine's
        # server gives a terminated process's threads a second and then kills the Unix process,
        # so a loaded machine can show SIGKILL here instead of the code the program exited with.
        if r.code != -signal.SIGKILL:
            self.assertEqual(r.code, 130, r)
        self.assertEqual(digest(second), before, "Ctrl-C was ignored and the next path shredded")


class Console(WineCliTest):

    def on_console(self, args, columns):
        """Runs the command with a pseudo-terminal of `columns` as its streams; Wine gives a
        program on a terminal a console and renders the console back onto the terminal."""
        master, slave = os.openpty()
        fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, columns, 0, 0))
        child = subprocess.Popen([WINE_RUN, EXE] + list(args), cwd=self.dir, stdin=slave,
                                 stdout=slave, stderr=slave, start_new_session=True)
        os.close(slave)
        screen = b""
        deadline = time.monotonic() + 180
        quiet_since = None
        # A wineserver started by the program holds the terminal open after it ends, so reading
        # stops once the program has ended and the terminal has been silent for a moment.
        while time.monotonic() < deadline:
            ready, _, _ = select.select([master], [], [], 0.1)
            data = b""
            if ready:
                try:
                    data = os.read(master, 65536)
                except OSError:
                    break
                screen += data
            if data or child.poll() is None:
                quiet_since = None
            elif quiet_since is None:
                quiet_since = time.monotonic()
            elif time.monotonic() - quiet_since > 0.5:
                break
        os.close(master)
        # The terminal reads as closed (EIO) as soon as the program has closed its streams,
        # which can be a moment before the process itself has ended: wait for it, within the
        # same deadline, before calling it hung.
        try:
            child.wait(timeout=max(5.0, deadline - time.monotonic()))
        except subprocess.TimeoutExpired:
            child.kill()
            child.wait()
            self.fail("the command did not finish within 180 s")
        text = screen.decode("utf-8", errors="replace")
        text = re.sub(r"\x1b\[([0-9]*)C", lambda m: " " * int(m.group(1) or "1"), text)
        text = re.sub(r"\x1b\][^\x07]*\x07|\x1b\[[0-9;?]*[A-Za-z]|\x1b[()][A-Z0-9]", "", text)
        return child.returncode, text

    def test_progress_line_fits_the_console_and_reaches_100(self):
        big = self.path("payload")
        write(big, b"\0" * (64 * MIB))
        columns = 60
        code, text = self.on_console(["-m", "dod3", self.win(big)], columns)
        self.assertEqual(code, 0, text)
        self.assertFalse(os.path.lexists(big))
        lines = re.findall(r"\[[#.]{24}\][^\[\r\n\x1b]*", text)
        self.assertTrue(lines, text)
        percents = [int(m) for line in lines for m in re.findall(r"([0-9]+)%", line)]
        self.assertEqual(percents, sorted(percents), text)
        self.assertGreaterEqual(len(set(percents)), 3, text)
        self.assertEqual(percents[-1], 100, text)
        # Cut to the console's width less one, so that it never wraps; the full line would not fit.
        self.assertTrue(all(len(line.rstrip()) <= columns - 1 for line in lines), lines)


class Reporting(WineCliTest):

    def test_usage_errors_exit_two_and_shred_nothing(self):
        keep = self.path("keep.txt")
        target = self.win(keep)
        cases = [
            [],
            ["--bogus", target],
            ["-m", "foo", target],
            ["-n", "0", target],
            ["-n", "abc", target],
            ["-m", "quick", "-n", "5", target],
            ["-r", "-d", target],
            ["--verify", "-r", target],
        ]
        for args in cases:
            with self.subTest(args=args):
                write(keep, "precious\n")
                r = self.run_cli(*args)
                self.assertEqual(r.code, 2, r)
                self.assertEqual(r.out, "", r)
                self.assertTrue(r.err.startswith("kelvarin-shred: "), r)
                self.assertEqual(open(keep).read(), "precious\n")

    def test_help_version_and_methods(self):
        helped = self.run_cli("--help")
        self.assertEqual(helped.code, 0, helped)
        self.assertTrue(helped.out.startswith("Usage: kelvarin-shred"), helped)
        version = self.run_cli("--version")
        self.assertEqual(version.code, 0, version)
        self.assertRegex(version.out, r"^kelvarin-shred [0-9]+\.[0-9]+\.[0-9]+\n$")
        methods = self.run_cli("--list-methods")
        self.assertEqual(methods.code, 0, methods)
        for pattern in (r"^quick +.+ 1 pass$", r"^dod3 +.+ 3 passes$", r"^dod7 +.+ 7 passes$",
                        r"^gutmann +.+ 35 passes$"):
            self.assertRegex(methods.out, re.compile(pattern, re.M))

    def test_a_missing_path_fails_the_run_without_stopping_it(self):
        missing, file = self.path("missing"), self.path("present")
        write(file, "data")
        r = self.run_cli(self.win(missing), self.win(file))
        self.assertEqual(r.code, 1, r)
        self.assertEqual(r.out, "", r)
        self.assert_error_line(r, self.win(missing))
        self.assertFalse(os.path.lexists(file))

    def test_json_lines_carry_their_own_paths_stats_and_errors(self):
        a, b, missing = self.path("a"), self.path("b"), self.path("missing")
        write(a, "a" * 1000)
        write(b, "b" * 3000)
        r = self.run_cli("--json", self.win(a), self.win(missing), self.win(b))
        self.assertEqual(r.code, 1, r)
        lines = [strict_json(line) for line in r.out.splitlines()]
        self.assertEqual([line["path"] for line in lines],
                         [self.win(a), self.win(missing), self.win(b)], r)
        self.assertEqual([line["result"] for line in lines], ["succeeded", "failed", "succeeded"])
        for line, size in ((lines[0], 1000), (lines[2], 3000)):
            self.assertEqual(line["stats"]["files_shredded"], 1)
            self.assertEqual(line["stats"]["passes_completed"], 3)
            self.assertEqual(line["stats"]["bytes_overwritten"], 3 * size)
        self.assertIsNone(lines[1]["stats"])
        self.assertIsInstance(lines[1]["error"], str)
        self.assertIn(self.win(missing), r.err)

        custom = self.path("custom")
        write(custom, "n" * 4096)
        passes = self.run_cli("--json", "-n", "5", self.win(custom))
        self.assertEqual(passes.code, 0, passes)
        (line,) = [strict_json(text) for text in passes.out.splitlines()]
        self.assertEqual(line["stats"]["passes_completed"], 5)
        self.assertEqual(line["stats"]["bytes_overwritten"], 5 * 4096)
        self.assertFalse(os.path.lexists(custom))

    def test_quiet_prints_only_errors_and_no_progress_without_a_console(self):
        file, missing = self.path("q"), self.path("missing")
        write(file, "q" * (8 * MIB))
        quiet = self.run_cli("-q", self.win(file))
        self.assertEqual(quiet.code, 0, quiet)
        # Wine names no file system the library knows, so every shred there would warn about it;
        # -q keeps even that to itself.
        self.assertEqual(quiet.out, "", quiet)
        self.assertEqual(quiet.err, "", quiet)
        self.assertFalse(os.path.lexists(file))
        quiet_error = self.run_cli("-q", self.win(missing))
        self.assertEqual(quiet_error.code, 1, quiet_error)
        self.assert_error_line(quiet_error, self.win(missing))

        # A pipe is no console: no progress line, no carriage returns.
        write(file, "p" * (8 * MIB))
        piped = self.run_cli(self.win(file))
        self.assertEqual(piped.code, 0, piped)
        self.assertNotIn("\r", piped.err)
        self.assertNotIn("%", piped.err)


class ReadingOnly(WineCliTest):

    def test_verify_reads_but_never_shreds(self):
        text, zeros, missing = self.path("text"), self.path("zeros"), self.path("missing")
        write(text, "Plain readable prose, line after line.\n" * 300)
        write(zeros, b"\x00" * 8192)
        before = digest(text), digest(zeros)
        plain = self.run_cli("--verify", self.win(text))
        self.assertEqual(plain.code, 1, plain)
        self.assertEqual(plain.out, self.win(text) + ": does not look overwritten\n")
        clean = self.run_cli("--verify", self.win(zeros))
        self.assertEqual(clean.code, 0, clean)
        self.assertEqual(clean.out, self.win(zeros) + ": looks overwritten\n")
        as_json = self.run_cli("--verify", "--json", self.win(text), self.win(zeros),
                               self.win(missing))
        self.assertEqual(as_json.code, 1, as_json)
        lines = [strict_json(line) for line in as_json.out.splitlines()]
        self.assertEqual([(line["checked"], line["looks_overwritten"]) for line in lines],
                         [(True, False), (True, True), (False, False)])
        self.assertEqual((digest(text), digest(zeros)), before)

    def test_assess_reads_but_never_shreds(self):
        file, missing = self.path("plain"), self.path("missing")
        write(file, "plain text\n")
        text = self.run_cli("--assess", self.win(file))
        self.assertEqual(text.code, 0, text)
        self.assertRegex(text.out,
                         "^" + re.escape(self.win(file)) + r": overwritten in place: "
                         r"(yes|no|unknown)\n")
        as_json = self.run_cli("--assess", "--json", self.win(file))
        self.assertEqual(as_json.code, 0, as_json)
        (line,) = [strict_json(text) for text in as_json.out.splitlines()]
        self.assertEqual(line["path"], self.win(file))
        self.assertIn(line["in_place"], ("yes", "no", "unknown"))
        self.assertIsInstance(line["reasons"], list)
        for reason in line["reasons"]:
            self.assertIsInstance(reason["code"], str)
            self.assertIsInstance(reason["detail"], str)
        self.assertIn(line["medium"], ("rotational", "flash", "unknown"))
        absent = self.run_cli("--assess", self.win(missing))
        self.assertEqual(absent.code, 1, absent)
        self.assert_error_line(absent, self.win(missing))
        self.assertEqual(open(file).read(), "plain text\n")


def main():
    global EXE
    if len(sys.argv) != 2 or not os.path.isfile(sys.argv[1]):
        print(f"usage: {sys.argv[0]} PATH/TO/kelvarin-shred.exe", file=sys.stderr)
        return 2
    EXE = os.path.realpath(sys.argv[1])
    # The first start creates the prefix; a program that cannot start at all skips the suite.
    probe = subprocess.run([WINE_RUN, EXE, "--version"], stdin=subprocess.DEVNULL,
                           capture_output=True, timeout=300, cwd=tempfile.gettempdir())
    if probe.returncode != 0 or not probe.stdout.startswith(b"kelvarin-shred "):
        print(f"wine_cli: skipped: Wine cannot run {EXE} (exit {probe.returncode}): "
              f"{decode(probe.stderr).strip()}")
        return SKIP_EXIT
    suite = unittest.defaultTestLoader.loadTestsFromModule(sys.modules[__name__])
    result = unittest.TextTestRunner(verbosity=2, stream=sys.stdout).run(suite)
    failed = len(result.failures) + len(result.errors) + len(result.unexpectedSuccesses)
    skipped = len(result.skipped)
    passed = result.testsRun - failed - skipped
    for case, reason in result.skipped:
        print(f"skipped {case.id()}: {reason}")
    print(f"wine_cli: {passed} passed, {skipped} skipped, {failed} failed")
    return 0 if failed == 0 and result.testsRun > 0 else 1


if __name__ == "__main__":
    sys.exit(main())
