import gc

import pytest

import _corvel
import corvel

import engine_probe

# The package's delegate base: every callback (required and guarded) is
# defined and does nothing. Tests of what happens when a callback is missing
# use a bare _corvel.VORACloudDelegate subclass instead.
SilentDelegate = corvel.Delegate


@pytest.fixture
def engine_cloud():
    """A VORACloud on a silent delegate and the engine's id for it, for
    reading back what the engine received."""
    cloud = _corvel.VORACloud(SilentDelegate())
    instance = engine_probe.last_instance()
    yield cloud, instance
    del cloud
    gc.collect()
