"""corvel: the Python package around the ``_corvel`` engine binding.

``import corvel`` gives everything the extension module ``_corvel`` defines
(``corvel.VORACloud``, ``corvel.AudioFrame``, ``corvel.ERR_OK``, ...) plus a
few helpers written in Python:

- :class:`Delegate` is a delegate base whose every callback does nothing;
- :func:`room_params` builds an ``EnterRoomParams`` in one call;
- :func:`engine_info` tells which module and engine library are loaded;
- :mod:`corvel.aio` is an asyncio layer (rooms, async iteration over media);
- :mod:`corvel.audio` moves 16-bit PCM between frames, arrays and WAV files;
- :mod:`corvel.ndarray` converts frames to and from numpy arrays
  (``pip install corvel[numpy]``).

``python -m corvel`` prints versions and paths; ``--self-check`` runs a short
call on the engine.
"""

from __future__ import annotations

from _corvel import *  # noqa: F401,F403  (the binding's whole surface)

from ._delegate import Delegate as Delegate
from ._info import EngineInfo as EngineInfo
from ._info import __version__ as __version__
from ._info import engine_info as engine_info
from ._params import error_name as error_name
from ._params import room_params as room_params
from ._status import dropped_callbacks as dropped_callbacks
from ._status import last_refusal as last_refusal

