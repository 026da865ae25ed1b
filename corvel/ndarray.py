"""Frames to and from numpy arrays (``pip install corvel[numpy]``).

Reading is zero-copy past the one copy ``frame.data`` makes: the arrays
returned by :func:`audio_to_ndarray` and :func:`pixels_to_ndarray` are
read-only views of that ``bytes`` object (``.copy()`` one to modify it).
Writing copies once into ``bytes``, the type ``SetData`` accepts.
"""

from __future__ import annotations

from typing import Any

try:
    import numpy as np
    import numpy.typing as npt
except ImportError as error:  # pragma: no cover - depends on the environment
    raise ImportError(
        "corvel.ndarray needs numpy: pip install 'corvel[numpy]'") from error

import _corvel

from .audio import make_frame

__all__ = [
    "audio_to_ndarray",
    "ndarray_to_audio",
    "ndarray_to_pixels",
    "pixels_to_ndarray",
    "yuv420_planes",
]

PCM16 = np.dtype("<i2")

def audio_to_ndarray(frame: _corvel.AudioFrame) -> npt.NDArray[np.int16]:
    """Samples as an int16 array of shape (samples per channel, channels)."""
    data = frame.data
    channels = max(frame.channels, 1)
    if len(data) % (2 * channels):
        raise ValueError(f"payload of {len(data)} bytes is not whole 16-bit frames of "
                         f"{channels} channel(s)")
    return np.frombuffer(data, dtype=PCM16).reshape(-1, channels)


def ndarray_to_audio(
    samples: npt.ArrayLike,
    *,
    sample_rate: int,
    pts: int = 0,
) -> _corvel.AudioFrame:
    """A PCM ``AudioFrame`` from samples of shape (n,) (mono) or (n, channels).

    int16 samples are taken as they are; floating-point samples in [-1, 1]
    are scaled to 16 bits and clipped; other integer types must fit int16.
    """
    values = np.asarray(samples)
    if values.ndim == 1:
        channels = 1
    elif values.ndim == 2:
        channels = values.shape[1]
    else:
        raise ValueError(f"samples of shape {values.shape}: (n,) or (n, channels) expected")
    if values.dtype.kind == "f":
        values = np.clip(np.rint(values * 32767.0), -32768, 32767)
    elif values.dtype.kind in "iu":
        if values.size and (values.min() < -32768 or values.max() > 32767):
            raise ValueError("integer samples out of the 16-bit range")
    else:
        raise TypeError(f"samples of dtype {values.dtype}: integers or floats expected")
    return make_frame(np.ascontiguousarray(values, dtype=PCM16).tobytes(),
                      sample_rate=sample_rate, channels=channels, pts=pts)


def _expected_size(width: int, height: int, fmt: _corvel.VideoPixelFormat) -> int:
    """Bytes of a picture; 4:2:0 chroma planes round odd sizes up."""
    luma = width * height
    chroma = ((width + 1) // 2) * ((height + 1) // 2)
    if fmt == _corvel.VIDEO_PIXEL_FORMAT_RGBA:
        return 4 * luma
    if fmt == _corvel.VIDEO_PIXEL_FORMAT_YUV420p:
        return luma + 2 * chroma
    if fmt == _corvel.VIDEO_PIXEL_FORMAT_YUVA420p:
        return 2 * luma + 2 * chroma
    raise ValueError(f"unknown pixel format {fmt}")


def pixels_to_ndarray(frame: _corvel.PixelFrame) -> npt.NDArray[np.uint8]:
    """The picture as a uint8 array.

    RGBA: shape (height, width, 4). YUV420p and YUVA420p: the planes one
    after another, shape (bytes,); :func:`yuv420_planes` splits them.
    """
    data = frame.data
    width, height, fmt = frame.width, frame.height, frame.format
    expected = _expected_size(width, height, fmt)
    if len(data) != expected:
        raise ValueError(f"{fmt.name} {width}x{height} is {expected} bytes, payload {len(data)}")
    flat = np.frombuffer(data, dtype=np.uint8)
    if fmt == _corvel.VIDEO_PIXEL_FORMAT_RGBA:
        return flat.reshape(height, width, 4)
    return flat


def yuv420_planes(
    pixels: npt.NDArray[np.uint8], width: int, height: int
) -> tuple[npt.NDArray[np.uint8], ...]:
    """Views of the Y, U, V (and A, when present) planes of a planar picture.

    The chroma planes are (height + 1) // 2 by (width + 1) // 2.
    """
    luma = width * height
    chroma_shape = ((height + 1) // 2, (width + 1) // 2)
    chroma = chroma_shape[0] * chroma_shape[1]
    if pixels.size not in (luma + 2 * chroma, 2 * luma + 2 * chroma):
        raise ValueError(f"{pixels.size} bytes is neither YUV420p nor YUVA420p at {width}x{height}")
    y = pixels[:luma].reshape(height, width)
    u = pixels[luma:luma + chroma].reshape(chroma_shape)
    v = pixels[luma + chroma:luma + 2 * chroma].reshape(chroma_shape)
    if pixels.size == luma + 2 * chroma:
        return y, u, v
    return y, u, v, pixels[luma + 2 * chroma:].reshape(height, width)


def ndarray_to_pixels(
    pixels: npt.ArrayLike,
    *,
    fmt: _corvel.VideoPixelFormat = _corvel.VIDEO_PIXEL_FORMAT_RGBA,
    width: int | None = None,
    height: int | None = None,
    pts: int = 0,
) -> _corvel.PixelFrame:
    """A ``PixelFrame`` from uint8 pixels.

    RGBA takes an array of shape (height, width, 4); the planar formats take
    the planes one after another and need ``width`` and ``height``.
    """
    values: npt.NDArray[Any] = np.asarray(pixels)
    if values.dtype != np.uint8:
        raise TypeError(f"pixels of dtype {values.dtype}: uint8 expected")
    if fmt == _corvel.VIDEO_PIXEL_FORMAT_RGBA and values.ndim == 3:
        if values.shape[2] != 4:
            raise ValueError(f"RGBA pixels of shape {values.shape}: (height, width, 4) expected")
        height, width = int(values.shape[0]), int(values.shape[1])
    if width is None or height is None:
        raise ValueError("width and height are needed for flat pixel data")
    expected = _expected_size(width, height, fmt)
    if values.size != expected:
        raise ValueError(f"{fmt.name} {width}x{height} is {expected} bytes, got {values.size}")
    frame = _corvel.PixelFrame()
    frame.width = width
    frame.height = height
    frame.format = fmt
    frame.pts = pts
    frame.SetData(np.ascontiguousarray(values).tobytes())
    return frame
