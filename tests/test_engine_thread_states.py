"""Python thread states of engine threads.

A long-lived delivery thread of the engine's pool keeps the Python thread
state its first callback made, and holds the interpreter lock across a run of
callbacks (see the module source). These tests hold what that must not
change: every callback still starts as on a new thread state (no contextvars
value, no threading.local value, no trace function, no async generator hooks
left by an earlier callback on the same thread), thread states do not pile up
with instances (at most one per delivery thread), a thread the engine does
not announce keeps none past its callback, so an engine may end it while the
lock is held, and the interpreter exits cleanly while delivery threads that
kept one are still delivering.
"""

import contextvars
import ctypes
import gc
import os
import subprocess
import sys
import textwrap
import threading

import _corvel

import engine_probe as probe
from conftest import SilentDelegate

TESTS_DIR = os.path.dirname(os.path.abspath(__file__))
MODULE_DIR = os.path.dirname(os.path.abspath(_corvel.__file__))

VAR = contextvars.ContextVar("corvel_test_var", default="unset")
LOCAL = threading.local()


class Leaver(SilentDelegate):
    """Each OnRequestKeyFrame notes what the thread shows, then leaves
    something of every kind behind for the next callback."""

    def __init__(self):
        super().__init__()
        self.seen = []

    def OnRequestKeyFrame(self, stream_type):
        self.seen.append({
            "thread": threading.get_ident(),
            "var": VAR.get(),
            "local": getattr(LOCAL, "value", "unset"),
            "trace": sys.gettrace(),
            "profile": sys.getprofile(),
            "asyncgen_hooks": tuple(sys.get_asyncgen_hooks()),
        })
        VAR.set("left behind")
        LOCAL.value = "left behind"
        sys.settrace(lambda *args: None)
        sys.setprofile(lambda *args: None)
        sys.set_asyncgen_hooks(firstiter=lambda agen: None, finalizer=lambda agen: None)


def test_every_callback_starts_as_on_a_new_thread_state():
    delegate = Leaver()
    cloud = _corvel.VORACloud(delegate)
    iid = probe.last_instance()
    rounds = probe.delivery_threads() + 2
    try:
        for _ in range(rounds):
            assert probe.fire(iid, "OnRequestKeyFrame", 2) == probe.DELIVERED
    finally:
        del cloud
        gc.collect()
    assert len(delegate.seen) == rounds
    # More callbacks than delivery threads: some thread delivered again.
    threads = {seen["thread"] for seen in delegate.seen}
    assert len(threads) < rounds and threading.get_ident() not in threads
    for seen in delegate.seen:
        assert seen["var"] == "unset"
        assert seen["local"] == "unset"
        assert seen["trace"] is None
        assert seen["profile"] is None
        assert seen["asyncgen_hooks"] == (None, None)
    # Nothing leaked into this thread either.
    assert VAR.get() == "unset"
    assert getattr(LOCAL, "value", "unset") == "unset"


def _thread_states() -> int:
    """Thread states of this interpreter (the lock is held: PyDLL)."""
    api = ctypes.pythonapi
    api.PyInterpreterState_Get.restype = ctypes.c_void_p
    api.PyInterpreterState_ThreadHead.restype = ctypes.c_void_p
    api.PyInterpreterState_ThreadHead.argtypes = [ctypes.c_void_p]
    api.PyThreadState_Next.restype = ctypes.c_void_p
    api.PyThreadState_Next.argtypes = [ctypes.c_void_p]
    count = 0
    state = api.PyInterpreterState_ThreadHead(api.PyInterpreterState_Get())
    while state:
        count += 1
        state = api.PyThreadState_Next(state)
    return count


def _engine_thread_states() -> int:
    """Thread states beyond those of Python's own threads: at most one per
    delivery thread."""
    return _thread_states() - threading.active_count()


def test_thread_states_end_with_their_engine_threads():
    for _ in range(3):
        clouds = [_corvel.VORACloud(Leaver()) for _ in range(4)]
        ids = [probe.last_instance() - 3 + k for k in range(4)]
        for iid in ids:
            assert probe.fire(iid, "OnRequestKeyFrame", 2) == probe.DELIVERED
        assert _engine_thread_states() <= probe.delivery_threads()
        del clouds
        gc.collect()
        assert _engine_thread_states() <= probe.delivery_threads()


def _hollow_cloud():
    """A cloud without an engine instance: its methods start no engine work."""
    probe.fail_next_create()
    return _corvel.VORACloud(SilentDelegate())


def test_a_cloud_dropped_from_its_own_callback_releases_its_thread_state():
    # The delivery thread frees the instance after the callback returns; no
    # thread state stays behind for it.
    hollow = _hollow_cloud()
    ended = threading.Event()

    class Dropping(SilentDelegate):
        def OnRequestKeyFrame(self, stream_type):
            self.cloud = None  # Destroy from the instance's own delivery thread
            ended.set()

    delegate = Dropping()
    delegate.cloud = _corvel.VORACloud(delegate)
    iid = probe.last_instance()
    assert probe.fire(iid, "OnRequestKeyFrame", 2, timeout=None) == probe.DELIVERED
    assert ended.wait(5)
    deadline = 100
    while True:
        hollow.ExitRoom()
        if not probe.is_live(iid) and _engine_thread_states() <= probe.delivery_threads():
            break
        deadline -= 1
        assert deadline > 0, "the delivery thread's thread state was not released"
        threading.Event().wait(0.05)


EXIT_SCRIPT = '''
import sys, threading
import _corvel as corvel
import engine_probe as probe

from corvel import Delegate as Quiet  # every callback defined, doing nothing

class Dropping(Quiet):
    def OnRequestKeyFrame(self, stream_type):
        self.cloud = None

clouds = []
for k in range(4):
    clouds.append(corvel.VORACloud(Quiet()))
    assert probe.fire(probe.last_instance(), "OnRequestKeyFrame", 2) == 0
    assert probe.firehose_start(probe.last_instance(), "OnRequestKeyFrame", 2) == 0
dropping = Dropping()
dropping.cloud = corvel.VORACloud(dropping)
assert probe.firehose_start(probe.last_instance(), "OnRequestKeyFrame", 2) == 0
threading.Event().wait(0.2)
print("main done", flush=True)
'''


def test_interpreter_exits_cleanly_while_engine_threads_deliver():
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([MODULE_DIR, TESTS_DIR, env.get("PYTHONPATH", "")])
    for _ in range(3):
        proc = subprocess.run([sys.executable, "-X", "faulthandler", "-c",
                               textwrap.dedent(EXIT_SCRIPT)],
                              env=env, capture_output=True, text=True, timeout=120)
        assert proc.returncode == 0, proc.stdout + proc.stderr
        assert proc.stdout == "main done\n"
        assert proc.stderr == ""


JOIN_SCRIPT = '''
import ctypes, threading
import _corvel as corvel
import engine_probe as probe

from corvel import Delegate as Quiet  # every callback defined, doing nothing

from test_engine_thread_states import _thread_states as thread_states

cloud = corvel.VORACloud(Quiet())
iid = probe.last_instance()
before = thread_states()
for _ in range(3):
    # A callback from an engine thread of its own, not one of the pool's: its
    # thread state goes with the callback
    assert probe.side_thread_start(iid, "OnRequestKeyFrame", 2) == 0
    assert thread_states() == before, "the callback's thread state outlived it"
    # ... so an engine operation may end that thread with the lock held.
    assert probe.side_thread_join(hold_gil=True) == 0
    cloud.ExitRoom()
    assert thread_states() == before
    # ... and this thread is still this thread to PyGILState.
    api = ctypes.pythonapi
    api.PyGILState_GetThisThreadState.restype = ctypes.c_void_p
    api.PyThreadState_Get.restype = ctypes.c_void_p
    assert api.PyGILState_GetThisThreadState() == api.PyThreadState_Get()
del cloud
print("joined", flush=True)
'''


def test_an_engine_may_join_a_callback_thread_while_the_lock_is_held():
    # An ending engine thread must not wait for the interpreter lock: here
    # that would hang the joining caller, which holds it.
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([MODULE_DIR, TESTS_DIR, env.get("PYTHONPATH", "")])
    proc = subprocess.run([sys.executable, "-X", "faulthandler", "-c",
                           textwrap.dedent(JOIN_SCRIPT)],
                          env=env, capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert proc.stdout == "joined\n"
