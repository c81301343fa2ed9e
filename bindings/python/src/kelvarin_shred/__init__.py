"""Secure deletion of files and directory trees, over the kelvarin-shred C library.

A file is overwritten in passes, each pass forced to the device, then truncated, renamed to a
random name and deleted; a directory tree the same way, file by file. What overwriting in place
cannot reach (copy-on-write file systems, flash media, snapshots) :func:`assess` tells for the
file in hand.

The library is loaded on import: from the full path in the environment variable
``KELVARIN_SHRED_LIBRARY`` if it is set, otherwise the installed ``libkelvarin-shred.so.0`` or
``kelvarin-shred.dll``. Import fails with ImportError when there is none, so that a program
learns at start, not at the moment it must destroy a secret, that it cannot.

Failures raise :class:`ShredError` (an OSError) carrying the library's message. The library keeps
one last-error text for the whole process, not one per thread: the message is read right after
the failing call, and if other threads shred at the same moment it may describe their failure.

Paths may be str, bytes or os.PathLike. The functions release the GIL while the library works.
"""

from __future__ import annotations

import atexit
import ctypes
import enum
import json
import os
import re
import sys
import threading
import time
import weakref
from typing import Any, Dict, List, NamedTuple, Optional, Union

from . import _native
from ._native import lib

__all__ = [
    "Job",
    "Method",
    "MethodInfo",
    "ShredError",
    "assess",
    "free_space",
    "free_space_async",
    "methods",
    "shred_directory",
    "shred_directory_async",
    "shred_file",
    "shred_file_async",
    "stats",
    "verify",
]

__version__ = "0.1.0"

#: What the functions accept as a path.
PathArg = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]


class ShredError(OSError):
    """A failure reported by the library.

    ``str(error)`` and ``error.message`` are the library's message; ``error.path`` is the path
    as the caller gave it. On POSIX systems ``error.errno`` is the kernel's error number when the
    message carries one, otherwise None.
    """

    def __init__(self, message: str, path: Optional[PathArg] = None) -> None:
        super().__init__(message)
        self.message = message
        self.path = path
        found = None if sys.platform == "win32" else re.search(r"\(error (\d+)", message)
        # The number in a Windows message is a Win32 code, not an errno value.
        self.errno = int(found.group(1)) if found else None  # type: ignore[assignment]

    def __str__(self) -> str:
        return self.message


class Method(enum.IntEnum):
    """The overwrite methods, with the library's numbers."""

    QUICK = 0  #: 1 random pass
    DOD3 = 1  #: 0x00, 0xFF, random
    DOD7 = 2  #: 0x00, 0xFF, random, 0x00, 0xFF, random, random
    GUTMANN = 3  #: the 35-pass Gutmann sequence
    CUSTOM = 4  #: 1 to 100 passes of 0x00, 0xFF, random; single files only


_METHOD_NAMES = {
    "quick": Method.QUICK,
    "dod3": Method.DOD3,
    "dod7": Method.DOD7,
    "gutmann": Method.GUTMANN,
    "custom": Method.CUSTOM,
}

MethodArg = Union[str, int, Method]


class MethodInfo(NamedTuple):
    """One entry of :func:`methods`."""

    name: str  #: the name the functions accept, e.g. "dod3"
    number: int  #: the library's method number
    title: str  #: the library's own name, e.g. "DOD 5220.22-M (3-pass)"
    passes: Optional[int]  #: passes per file; None for custom, whose count the caller chooses


def _method(method: MethodArg) -> Method:
    if isinstance(method, str):
        try:
            return _METHOD_NAMES[method]
        except KeyError:
            raise ValueError(
                f"unknown method {method!r}; expected one of {', '.join(_METHOD_NAMES)}"
            ) from None
    # bool is an int, but True as a method is a mistake, not "dod3".
    if isinstance(method, int) and not isinstance(method, bool):
        try:
            return Method(method)
        except ValueError:
            raise ValueError(f"unknown method number {method}; expected 0 to 4") from None
    raise TypeError(f"method must be a name or a number, not {type(method).__name__}")


def _method_without_count(method: MethodArg) -> Method:
    number = _method(method)
    if number == Method.CUSTOM:
        # The library runs its custom method with one pass wherever it cannot be given a count;
        # asking for "custom" there almost certainly meant more than that.
        raise ValueError("the custom method takes a pass count and is only for shred_file()")
    return number


def _failure(path: Optional[PathArg], fallback: str) -> ShredError:
    message = _native.decode_text(lib.shred_last_error())
    if message in ("", "No error"):
        # Another thread's call reset the process-wide text between the failure and this read.
        message = fallback
    return ShredError(message, path)


def _check(result: int, path: PathArg, what: str) -> None:
    if result != 0:
        raise _failure(path, f"{what} failed: {os.fsdecode(os.fspath(path))}")


def shred_file(path: PathArg, method: MethodArg = "dod3", passes: Optional[int] = None) -> None:
    """Overwrites, truncates, renames and deletes one file; returns when it is gone.

    `method` is a name ("quick", "dod3", "dod7", "gutmann", "custom") or a :class:`Method`
    number. "custom" needs `passes` (1 to 100); the other methods take no `passes`.
    Raises ShredError with the library's message on failure (a missing file, a link, a
    directory, a file with several names, a write that failed...). A file whose overwrite
    failed keeps its name.
    """
    number = _method(method)
    raw = _native.encode_path(path)
    if number == Method.CUSTOM:
        if passes is None:
            raise ValueError("the custom method needs passes (1 to 100)")
        if isinstance(passes, bool) or not isinstance(passes, int):
            raise TypeError(f"passes must be an int, not {type(passes).__name__}")
        if not 1 <= passes <= _native.MAX_CUSTOM_PASSES:
            raise ValueError(f"passes must be between 1 and 100, not {passes}")
        _check(lib.shred_file_custom(raw, passes), path, "shredding")
        return
    if passes is not None:
        raise ValueError("passes is only for the custom method")
    _check(lib.shred_file(raw, int(number)), path, "shredding")


def shred_directory(path: PathArg, recursive: bool = True, method: MethodArg = "dod3") -> None:
    """Shreds every file of a directory tree and removes the directories it emptied.

    With ``recursive=False`` only the files directly inside `path` are shredded; its
    subdirectories and `path` itself stay. A failed entry does not stop the walk: the others are
    still shredded, and ShredError then carries the message of the last failure.
    """
    number = _method_without_count(method)
    raw = _native.encode_path(path)
    function = lib.shred_directory_recursive if recursive else lib.shred_directory
    _check(function(raw, int(number)), path, "shredding the directory")


def verify(path: PathArg) -> bool:
    """True when the file's first 4096 bytes look overwritten (mostly non-printable, all zeros
    or all 0xFF, or an empty file); False for ordinary content or a file that cannot be opened.
    A heuristic: it proves nothing about the device."""
    result: int = lib.shred_verify(_native.encode_path(path))
    return result == 1


def assess(path: PathArg) -> Dict[str, Any]:
    """Whether an overwrite through the file can reach the blocks that held its data.

    Returns the library's document as a dict: "path", "filesystem", "in_place" ("yes", "no" or
    "unknown"), "reasons" (a list of {"code", "detail"}) and "medium". Only reads: the file is
    never opened for writing. Raises ShredError for a missing path or a link.
    """
    raw = _native.encode_path(path)
    size = 1024
    while True:
        buffer = ctypes.create_string_buffer(size)
        length = lib.shred_assess(raw, buffer, size)
        if length < 0:
            raise _failure(path, f"assessing failed: {os.fsdecode(os.fspath(path))}")
        if length < size:
            report: Dict[str, Any] = json.loads(_native.decode_text(buffer.value))
            return report
        size = length + 1  # the document did not fit; its full length is known now


def free_space(path: PathArg, method: MethodArg = "quick") -> None:
    """Overwrites the free space of the file system that holds the directory `path`.

    Destroys what shredding a file cannot reach: blocks freed by copy-on-write, the journal's
    copies and files that were deleted without shredding. Files are written in a new directory
    inside `path` until the file system is full, rewritten with each later pass, and removed
    with the directory on every way out. The default is one random pass, since the time grows
    with the free space. :func:`stats` then also carries "free_space_wiped" and
    "free_space_unreached" (bytes). Raises ShredError for a path that is not a directory, a
    read-only, network, in-memory or kernel file system, or a directory it cannot write.
    """
    number = _method_without_count(method)
    raw = _native.encode_path(path)
    _check(lib.shred_free_space(raw, int(number)), path, "wiping the free space")


def methods() -> List[MethodInfo]:
    """The overwrite methods, in the library's order, with the library's names and counts."""
    entries = []
    for name, number in _METHOD_NAMES.items():
        passes: Optional[int] = lib.shred_method_passes(int(number))
        title = _native.decode_text(lib.shred_method_name(int(number)))
        if number == Method.CUSTOM:
            passes = None
        entries.append(MethodInfo(name, int(number), title, passes))
    return entries


def stats() -> Dict[str, int]:
    """The last file destroyed in this process, on any thread: "files_shredded" (1, or 0 if
    none yet), "bytes_overwritten" (all passes), "passes_completed" and "duration_ms"; after a
    free-space wipe also "free_space_wiped" and "free_space_unreached"."""
    document: Dict[str, int] = json.loads(_native.decode_text(lib.shred_stats_json()))
    return document


# Jobs.
#
# The library's job table must be set up once before the first job, and again only when no job
# exists; that is done here at the first submission. A finished job's slot is reused by a later
# submission, after which the library no longer knows the old id. So that a Job does not lose its
# result that way, every submission first records the final state of every Job still running,
# under the same lock. A job that ends in the instant between that look and the submission can
# still lose it; it then reports an unknown outcome as a failure, never a success.

_jobs_lock = threading.Lock()
_jobs_ready = False
_running_jobs: "weakref.WeakSet[Job]" = weakref.WeakSet()


def _shutdown() -> None:
    # Cancels whatever still runs: its files stay under their names, as for any cancel.
    lib.shred_cleanup()


def _prepare_jobs() -> None:
    """Sets the job table up at first use; the caller holds _jobs_lock."""
    global _jobs_ready
    if _jobs_ready:
        return
    if lib.shred_init() != 0:
        raise _failure(None, "setting up the library's jobs failed")
    atexit.register(_shutdown)
    _jobs_ready = True


class Job:
    """A shred running on one of the library's worker threads.

    ``progress`` is the library's percent done, 0 to 100; for a directory it is that of the
    file in progress, not of the whole tree. ``done`` tells whether the job has ended, and
    ``succeeded``, ``cancelled`` and ``error`` how. ``wait()`` blocks until it ends.

    Used as a context manager, the job is cancelled on leaving the block if it is still running,
    and the exit waits until its worker has stopped; the exit itself never raises. A cancelled
    file keeps its name and full length, partly overwritten; a cancelled directory job leaves
    what it had not reached yet.
    """

    def __init__(self, job_id: int, path: PathArg, what: str) -> None:
        self._id = job_id
        self._path = path
        self._what = what
        self._status = _native.JOB_RUNNING
        self._progress = 0
        self._cancel_requested = False
        self._error: Optional[ShredError] = None

    @property
    def id(self) -> int:
        """The library's job id."""
        return self._id

    @property
    def path(self) -> PathArg:
        """The path as it was given."""
        return self._path

    def _refresh(self) -> None:
        """Reads the job's state from the library, unless it is final; holds _jobs_lock."""
        if self._status != _native.JOB_RUNNING:
            return
        status = lib.shred_is_complete(self._id)
        progress = lib.shred_progress(self._id)
        if progress >= 0:
            self._progress = progress
        if status == _native.JOB_RUNNING:
            return
        self._status = status
        _running_jobs.discard(self)
        if status == _native.JOB_SUCCEEDED:
            self._progress = 100
            return
        shown = os.fsdecode(os.fspath(self._path))
        if progress < 0:
            # The library no longer holds the id. Its slot was reused (a job that ended in the
            # instant between the look at it before a submission and the submission itself, or
            # one submitted outside this package), or the table was shut down: the result is
            # gone, and a success must not be claimed.
            self._error = ShredError(
                f"the outcome of the job for {shown} is unknown: the library no longer holds it",
                self._path,
            )
            return
        # The process-wide message is the best there is: it is the job's unless another failure
        # came after it.
        self._error = _failure(self._path, f"{self._what} {shown} failed")

    @property
    def progress(self) -> int:
        """Percent done, 0 to 100 (of the file in progress, for a directory job)."""
        with _jobs_lock:
            self._refresh()
            return self._progress

    @property
    def done(self) -> bool:
        """True once the job has ended, successfully or not."""
        with _jobs_lock:
            self._refresh()
            return self._status != _native.JOB_RUNNING

    @property
    def succeeded(self) -> bool:
        """True once the job has ended successfully."""
        with _jobs_lock:
            self._refresh()
            return self._status == _native.JOB_SUCCEEDED

    @property
    def cancelled(self) -> bool:
        """True when the job ended without success after cancel() asked it to stop."""
        with _jobs_lock:
            self._refresh()
            return self._cancel_requested and self._status == _native.JOB_FAILED

    @property
    def error(self) -> Optional[ShredError]:
        """The failure of an ended job (for a cancelled one, the cancellation), else None."""
        with _jobs_lock:
            self._refresh()
            return self._error

    def cancel(self) -> None:
        """Asks the job to stop at its next chunk or directory entry; returns at once.

        A job that finishes before the request arrives still succeeds. Cancelling an ended
        job does nothing."""
        with _jobs_lock:
            self._refresh()
            if self._status != _native.JOB_RUNNING:
                return
            self._cancel_requested = True
            lib.shred_cancel(self._id)

    def wait(self, timeout: Optional[float] = None) -> bool:
        """Waits until the job ends or `timeout` seconds pass.

        Returns True when it ended successfully or was cancelled by cancel(), False when the
        timeout passed first. Raises the job's ShredError when it failed for another reason.
        """
        deadline = None if timeout is None else time.monotonic() + timeout
        delay = 0.005
        while True:
            with _jobs_lock:
                self._refresh()
                status = self._status
                error = self._error
                cancel_requested = self._cancel_requested
            if status == _native.JOB_SUCCEEDED:
                return True
            if status != _native.JOB_RUNNING:
                if cancel_requested:
                    return True
                assert error is not None
                raise error
            if deadline is not None:
                left = deadline - time.monotonic()
                if left <= 0:
                    return False
                delay = min(delay, left)
            time.sleep(delay)
            delay = min(delay * 2, 0.05)

    def __enter__(self) -> "Job":
        return self

    def __exit__(self, *exc_info: object) -> None:
        if not self.done:
            self.cancel()
        try:
            self.wait()
        except ShredError:
            pass  # documented: leaving the block reports nothing; error still tells

    def __repr__(self) -> str:
        with _jobs_lock:
            self._refresh()
            state = {
                _native.JOB_RUNNING: "running",
                _native.JOB_SUCCEEDED: "succeeded",
            }.get(self._status, "cancelled" if self._cancel_requested else "failed")
            return f"<kelvarin_shred.Job {self._id} {self._path!r} {state} {self._progress}%>"


def _submit(path: PathArg, what: str, start: Any) -> Job:
    raw = _native.encode_path(path)
    with _jobs_lock:
        _prepare_jobs()
        for job in list(_running_jobs):
            job._refresh()
        job_id = start(raw)
        if job_id < 0:
            raise _failure(path, f"starting a job for {os.fsdecode(os.fspath(path))} failed")
        job = Job(job_id, path, what)
        _running_jobs.add(job)
        return job


def shred_file_async(path: PathArg, method: MethodArg = "dod3") -> Job:
    """Starts shredding one file on a worker thread and returns its :class:`Job`.

    At most 128 jobs run at once. The path is resolved now: a later os.chdir changes nothing.
    The custom method is not available for jobs.
    """
    number = int(_method_without_count(method))
    return _submit(path, "shredding", lambda raw: lib.shred_file_async(raw, number))


def shred_directory_async(
    path: PathArg, recursive: bool = True, method: MethodArg = "dod3"
) -> Job:
    """Starts shredding a directory tree (see :func:`shred_directory`) on a worker thread."""
    number = int(_method_without_count(method))
    flag = 1 if recursive else 0
    return _submit(
        path,
        "shredding the directory",
        lambda raw: lib.shred_directory_async(raw, number, flag),
    )


def free_space_async(path: PathArg, method: MethodArg = "quick") -> Job:
    """Starts a free-space wipe (see :func:`free_space`) on a worker thread. Its progress is
    the bytes written over the planned total, and stays below 100 until the fill is removed;
    a cancelled wipe removes its fill too."""
    number = int(_method_without_count(method))
    return _submit(
        path, "wiping the free space", lambda raw: lib.shred_free_space_async(raw, number)
    )
