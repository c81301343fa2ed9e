"""Loading the C library and declaring its functions for ctypes.

Everything here is private to the package: the public functions in ``__init__`` turn Python
arguments into what these prototypes expect and results into values or exceptions.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import os
import sys
from typing import List, Optional, Tuple

LIBRARY_VARIABLE = "KELVARIN_SHRED_LIBRARY"

_WINDOWS = sys.platform == "win32"


def _candidates() -> List[str]:
    """Names to try after the environment variable, most specific first."""
    names: List[str] = []
    found = ctypes.util.find_library("kelvarin-shred")
    if found:
        names.append(found)
    if _WINDOWS:
        names.append("kelvarin-shred.dll")
    else:
        names.append("libkelvarin-shred.so.0")
        # The default install prefix. Its directory is in the loader's configuration on Debian,
        # but only after ldconfig has run; loading by full path works before that too.
        names.append("/usr/local/lib/libkelvarin-shred.so.0")
    return names


def _load() -> Tuple[ctypes.CDLL, str]:
    named = os.environ.get(LIBRARY_VARIABLE)
    if named:
        # A library named explicitly is the one meant: never fall back to another copy.
        try:
            return ctypes.CDLL(named), named
        except OSError as error:
            raise ImportError(
                f"kelvarin_shred: cannot load the library named by {LIBRARY_VARIABLE}"
                f" ({named}): {error}"
            ) from error
    tried: List[str] = []
    for name in _candidates():
        try:
            return ctypes.CDLL(name), name
        except OSError as error:
            tried.append(f"{name} ({error})")
    raise ImportError(
        "kelvarin_shred: the kelvarin-shred library was not found. Install it (on Linux run"
        f" ldconfig after installing), or set {LIBRARY_VARIABLE} to its full path. Tried: "
        + "; ".join(tried)
    )


lib, library_path = _load()

_int32 = ctypes.c_int32
_path = ctypes.c_char_p

# (name, result type, argument types) for every function of kelvarin_shred.h.
_PROTOTYPES: List[Tuple[str, Optional[type], List[type]]] = [
    ("shred_init", _int32, []),
    ("shred_cleanup", None, []),
    ("shred_file", _int32, [_path, _int32]),
    ("shred_file_custom", _int32, [_path, _int32]),
    ("shred_directory", _int32, [_path, _int32]),
    ("shred_directory_recursive", _int32, [_path, _int32]),
    ("shred_file_async", _int32, [_path, _int32]),
    ("shred_directory_async", _int32, [_path, _int32, _int32]),
    ("shred_progress", _int32, [_int32]),
    ("shred_is_complete", _int32, [_int32]),
    ("shred_cancel", _int32, [_int32]),
    ("shred_verify", _int32, [_path]),
    ("shred_assess", _int32, [_path, ctypes.POINTER(ctypes.c_char), _int32]),
    ("shred_free_space", _int32, [_path, _int32]),
    ("shred_free_space_async", _int32, [_path, _int32]),
    ("shred_method_name", ctypes.c_char_p, [_int32]),
    ("shred_method_passes", _int32, [_int32]),
    ("shred_last_error", ctypes.c_char_p, []),
    ("shred_stats_json", ctypes.c_char_p, []),
]

for _name, _restype, _argtypes in _PROTOTYPES:
    try:
        _function = getattr(lib, _name)
    except AttributeError as error:
        raise ImportError(
            f"kelvarin_shred: {library_path} does not export {_name}; it is not a kelvarin-shred"
            " library of a version this package supports"
        ) from error
    _function.restype = _restype
    _function.argtypes = _argtypes

JOB_RUNNING = 0
JOB_SUCCEEDED = 1
JOB_FAILED = -1
MAX_CUSTOM_PASSES = 100


def encode_path(path: "os.PathLike[str] | os.PathLike[bytes] | str | bytes") -> bytes:
    """The bytes the library receives for `path`.

    On Windows the library takes paths in the ANSI code page, so text is encoded to it strictly
    (a name it cannot spell must not turn into another name). A NUL byte would silently end the
    path early and name something else, so it is refused as the os module refuses it.
    """
    raw = os.fspath(path)
    if isinstance(raw, str):
        encoded = raw.encode("mbcs", "strict") if _WINDOWS else os.fsencode(raw)
    elif isinstance(raw, bytes):
        encoded = raw
    else:  # os.fspath already refuses other types; this keeps type checkers exact
        raise TypeError(f"expected str, bytes or os.PathLike, not {type(path).__name__}")
    if b"\0" in encoded:
        raise ValueError("embedded null byte in path")
    return encoded


def decode_text(raw: Optional[bytes]) -> str:
    """A text of the library (a message or a document that may contain paths) as str."""
    if raw is None:
        return ""
    if _WINDOWS:
        return raw.decode("mbcs", "replace")
    return os.fsdecode(raw)
