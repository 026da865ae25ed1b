"""Shared fixtures, the silent delegate and the Hypothesis profiles.

Test tiers: the default run leaves out the tests marked ``slow`` (rebuilds,
long fuzzing, leak counts, stress and exhaustive exit matrices; see
pyproject.toml's addopts); ``-m slow`` runs only those, ``-m ""`` everything.

Hypothesis profiles: "dev" (few examples, the default) and "ci" (more, for
the slow tier and CI). Choose one with CORVEL_HYPOTHESIS_PROFILE=ci or
pytest's --hypothesis-profile=ci.
"""

import gc
import os

import pytest

import _corvel
import corvel

import engine_probe
from py_kit import probe  # noqa: F401  (a fixture: the engine's inspection interface)
from rooms_kit import scene  # noqa: F401  (a fixture: parties in rooms, destroyed at the end)

# The package's delegate base: every callback (required and guarded) is
# defined and does nothing. Tests of what happens when a callback is missing
# use a bare _corvel.VORACloudDelegate subclass instead.
SilentDelegate = corvel.Delegate

# The inspection library (libcorvel_probe.so) hooks into the engine as it is
# loaded; loaded here, before any test creates an instance, it sees every
# instance and every operation.
try:
    engine_probe.library()
except AttributeError:
    pass  # another engine: the tests that need the interface skip (py_kit.probe)

try:
    from hypothesis import settings
except ImportError:  # the tests that need it skip themselves
    pass
else:
    settings.register_profile("dev", max_examples=3, deadline=None, database=None)
    settings.register_profile("ci", max_examples=25, deadline=None, database=None)
    settings.load_profile(os.environ.get("CORVEL_HYPOTHESIS_PROFILE", "dev"))


@pytest.fixture
def engine_cloud():
    """A VORACloud on a silent delegate and the engine's id for it, for
    reading back what the engine received."""
    cloud = _corvel.VORACloud(SilentDelegate())
    instance = engine_probe.last_instance()
    yield cloud, instance
    del cloud
    # A full collection costs tens of milliseconds in this process: only
    # when the test left the cloud in a reference cycle.
    if engine_probe.is_live(instance):
        gc.collect()
