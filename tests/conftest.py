import gc

import pytest

import _corvel

import engine_probe

# The callbacks a Python delegate must define.
REQUIRED_CALLBACKS = engine_probe.CALLBACKS[:18]


class SilentDelegate(_corvel.VORACloudDelegate):
    """Defines every required callback, each doing nothing."""


for _name in REQUIRED_CALLBACKS:
    setattr(SilentDelegate, _name, lambda self, *args: None)


@pytest.fixture
def engine_cloud():
    """A VORACloud on a silent delegate and the engine's id for it, for
    reading back what the engine received."""
    cloud = _corvel.VORACloud(SilentDelegate())
    instance = engine_probe.last_instance()
    yield cloud, instance
    del cloud
    gc.collect()
