"""corvel.ndarray: frames to and from numpy arrays (the numpy extra)."""

from __future__ import annotations

from typing import Any

import pytest

np = pytest.importorskip("numpy")

import _corvel  # noqa: E402
from corvel import ndarray  # noqa: E402

RGBA = _corvel.VIDEO_PIXEL_FORMAT_RGBA
YUV = _corvel.VIDEO_PIXEL_FORMAT_YUV420p
YUVA = _corvel.VIDEO_PIXEL_FORMAT_YUVA420p


@pytest.mark.parametrize("shape", [(160,), (160, 1), (480, 2)])
def test_int16_audio_round_trip(shape: tuple[int, ...]) -> None:
    samples = (np.arange(np.prod(shape), dtype=np.int16) * 37).reshape(shape)
    frame = ndarray.ndarray_to_audio(samples, sample_rate=48000, pts=9)
    channels = 1 if len(shape) == 1 else shape[1]
    assert (frame.sample_rate, frame.channels, frame.bits_per_sample, frame.pts) == (
        48000, channels, 16, 9)
    back = ndarray.audio_to_ndarray(frame)
    assert back.dtype == np.int16 and back.shape == (shape[0], channels)
    assert np.array_equal(back.reshape(shape), samples)
    assert not back.flags.writeable  # a view of frame.data's bytes


def test_float_audio_is_scaled_and_clipped() -> None:
    frame = ndarray.ndarray_to_audio(np.array([0.0, 0.5, -1.0, 1.0, 3.0, -3.0]),
                                     sample_rate=16000)
    assert ndarray.audio_to_ndarray(frame)[:, 0].tolist() == [
        0, 16384, -32767, 32767, 32767, -32768]


@pytest.mark.parametrize("samples, error", [
    (np.array([40000], dtype=np.int32), ValueError),
    (np.zeros((2, 2, 2), dtype=np.int16), ValueError),
    (np.array(["a"]), TypeError),
])
def test_audio_that_does_not_fit_16_bits_is_refused(samples: Any, error: type) -> None:
    with pytest.raises(error):
        ndarray.ndarray_to_audio(samples, sample_rate=16000)


def test_rgba_pixels_round_trip() -> None:
    picture = np.arange(4 * 6 * 4, dtype=np.uint8).reshape(4, 6, 4)
    frame = ndarray.ndarray_to_pixels(picture, pts=3)
    assert (frame.width, frame.height, frame.format, frame.pts) == (6, 4, RGBA, 3)
    assert np.array_equal(ndarray.pixels_to_ndarray(frame), picture)


@pytest.mark.parametrize("fmt, planes", [(YUV, 3), (YUVA, 4)])
@pytest.mark.parametrize("width, height", [(8, 4), (7, 3)])
def test_planar_pixels_round_trip_and_split_into_planes(
        fmt: _corvel.VideoPixelFormat, planes: int, width: int, height: int) -> None:
    luma, chroma = width * height, ((width + 1) // 2) * ((height + 1) // 2)
    size = luma + 2 * chroma + (luma if planes == 4 else 0)
    flat = (np.arange(size) % 251).astype(np.uint8)
    frame = ndarray.ndarray_to_pixels(flat, fmt=fmt, width=width, height=height)
    back = ndarray.pixels_to_ndarray(frame)
    assert np.array_equal(back, flat)
    split = ndarray.yuv420_planes(back, width, height)
    half = ((height + 1) // 2, (width + 1) // 2)
    assert [p.shape for p in split] == [(height, width), half, half, (height, width)][:planes]
    assert np.array_equal(np.concatenate([p.ravel() for p in split]), flat)


@pytest.mark.parametrize("pixels, kwargs", [
    (np.zeros((4, 6, 3), dtype=np.uint8), {}),                              # not 4 channels
    (np.zeros(10, dtype=np.uint8), {"fmt": YUV, "width": 4, "height": 4}),  # wrong size
    (np.zeros(24, dtype=np.uint8), {"fmt": YUV}),                           # no dimensions
])
def test_pixels_that_do_not_match_their_format_are_refused(pixels: Any, kwargs: Any) -> None:
    with pytest.raises(ValueError):
        ndarray.ndarray_to_pixels(pixels, **kwargs)


def test_pixel_frame_with_a_wrong_payload_is_refused() -> None:
    frame = _corvel.PixelFrame()
    frame.width, frame.height, frame.format = 2, 2, RGBA
    frame.SetData(b"\x00" * 15)
    with pytest.raises(ValueError):
        ndarray.pixels_to_ndarray(frame)
