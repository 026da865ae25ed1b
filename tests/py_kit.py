"""Shared pieces of the tests of the corvel package (test_py_*.py): bounded
asyncio runs and the engine's inspection interface as a fixture."""

from __future__ import annotations

import asyncio
import os
from collections.abc import Awaitable, Callable
from typing import Any, TypeVar

import pytest

import engine_probe

# GCC's AddressSanitizer runtime does not take its allocator's locks around
# fork(): a child forked while an engine thread of the parent is inside
# malloc blocks on that lock for good (seen: a child's delivery thread stuck
# in the sanitizer allocator making its thread state). Tests that fork a
# process with engine threads running stay out of the sanitizer run.
forks_with_threads = pytest.mark.skipif(
    bool(os.environ.get("CORVEL_SANITIZED")),
    reason="the sanitizer's allocator is not fork-safe with threads running")

T = TypeVar("T")
BOUND = 30.0  # no test body runs longer than this


def run(body: Callable[[], Awaitable[T]]) -> T:
    async def bounded() -> T:
        async with asyncio.timeout(BOUND):
            return await body()

    return asyncio.run(bounded())


@pytest.fixture(scope="module")
def probe() -> Any:
    """The loopback engine's inspection interface; skips with another engine."""
    try:
        engine_probe.library()
    except AttributeError:
        pytest.skip("the engine has no inspection interface")
    return engine_probe
