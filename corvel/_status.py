"""What the engine library reports about refusals and dropped callbacks.

Both read optional functions of the loopback engine (``corvel_last_refusal``,
``corvel_dropped_callbacks``) through ctypes; an engine that does not export
them answers None.
"""

from __future__ import annotations

import ctypes
import os
from functools import cache
from typing import Any

from ._info import loaded_engine_path

REFUSAL_SYMBOL = "corvel_last_refusal"
DROPPED_SYMBOL = "corvel_dropped_callbacks"


@cache
def _library() -> Any:
    """The engine library already loaded by ``_corvel`` (nothing new is loaded), or None."""
    path = loaded_engine_path()
    if path is None:
        return None
    try:
        return ctypes.CDLL(path, mode=os.RTLD_NOLOAD | os.RTLD_NOW)
    except OSError:
        return None


@cache
def _function(name: str, restype: Any) -> Any:
    library = _library()
    function = getattr(library, name, None) if library is not None else None
    if function is not None:
        function.restype = restype
        function.argtypes = []
    return function


def last_refusal() -> str | None:
    """Why the calling thread's last engine operation was refused.

    ``""`` when that operation succeeded, None when the engine does not tell.
    Read it on the thread that made the call, right after it: the next
    operation on that thread replaces it.
    """
    function = _function(REFUSAL_SYMBOL, ctypes.c_char_p)
    if function is None:
        return None
    value = function()
    return value.decode("utf-8", errors="replace") if isinstance(value, bytes) else ""


def dropped_callbacks() -> int | None:
    """Callbacks dropped by full delivery queues in this process so far (media only).

    None when the engine does not count them.
    """
    function = _function(DROPPED_SYMBOL, ctypes.c_ulonglong)
    return None if function is None else int(function())
