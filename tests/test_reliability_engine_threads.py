"""Engine threads under pressure: instances destroying each other from their
callbacks, fork() with live instances, full delivery queues, long routing
work, and the memory kept for operation records. Cases that used to hang or
crash run in a child process with a time limit."""

import os
import threading
import time

import pytest
from test_cloud_lifetime import assert_clean_exit, run_child

import _corvel as E
import corvel

import engine_probe as probe
from py_kit import forks_with_threads
from rooms_kit import audio_params, enter_params, until


def test_two_clouds_destroying_each_other_from_their_callbacks_do_not_deadlock():
    # Each delivery thread drops the other's cloud while the other's callback
    # runs: neither Destroy may wait for the other callback.
    child = run_child("""
    for _ in range(10):
        b_busy, b_done = threading.Event(), threading.Event()
        clouds = {}

        class A(Quiet):
            def OnEnterRoom(self):
                b_busy.wait(10)
                clouds.pop("b", None)

        class B(Quiet):
            def OnEnterRoom(self):
                b_busy.set()
                time.sleep(0.05)
                clouds.pop("a", None)
                b_done.set()

        clouds["a"] = corvel.VORACloud(A())
        a = probe.last_instance()
        clouds["b"] = corvel.VORACloud(B())
        b = probe.last_instance()
        assert probe.fire_many(a, "OnEnterRoom", 1) == 1
        assert probe.fire_many(b, "OnEnterRoom", 1) == 1
        assert b_done.wait(10)
        deadline = time.monotonic() + 10
        while (probe.is_live(a) or probe.is_live(b)) and time.monotonic() < deadline:
            time.sleep(0.005)
        assert not probe.is_live(a) and not probe.is_live(b) and not clouds
    print("ok")
    """)
    assert_clean_exit(child)


def test_callbacks_blocked_in_python_hold_up_no_other_cloud():
    # More clouds whose callbacks wait (the lock let go, as on I/O) than the
    # pool has threads: another cloud's callbacks still arrive meanwhile.
    release = threading.Event()

    class Waiting(corvel.Delegate):
        def OnRequestKeyFrame(self, stream_type):
            release.wait(10)

    waiting = [E.VORACloud(Waiting()) for _ in range(probe.delivery_threads() + 2)]
    ids = [probe.last_instance() - len(waiting) + 1 + k for k in range(len(waiting))]
    other = E.VORACloud(corvel.Delegate())
    try:
        for iid in ids:
            assert probe.fire_many(iid, "OnRequestKeyFrame", 1, 2) == 1
        for _ in range(5):
            assert probe.fire(probe.last_instance(), "OnEnterRoom", timeout=5) == probe.DELIVERED
        assert not release.is_set()
    finally:
        release.set()
        for iid in ids:
            assert probe.wait_idle(iid, timeout=5)
        del waiting, other


FORK_CHILDREN = {
    # The child leaves at once, through the interpreter's exit (and the
    # module's exit hook, which ends the parent's instances).
    "exits": "sys.exit(0)",
    "uses-the-engine-afresh": """
    entered = threading.Event()

    class Entering(Quiet):
        def OnEnterRoom(self):
            entered.set()

    fresh = corvel.VORACloud(Entering())
    assert fresh.EnterRoom(enter_params("child")) == 0
    assert entered.wait(10)
    assert fresh.CreateLocalAudioChannel(corvel.AudioEncodeParams()) == 0
    # The parent's instance is inert here: refused with a reason, never hanging.
    assert parent.EnterRoom(enter_params("again")) == corvel.ERR_INVALID_OPERATION
    import corvel as package
    assert "parent process" in package.last_refusal()
    del fresh, parent
    gc.collect()
    sys.exit(0)
    """,
}


@forks_with_threads
@pytest.mark.parametrize("child_code", FORK_CHILDREN.values(), ids=FORK_CHILDREN.keys())
def test_a_forked_child_with_live_parent_instances_exits_and_starts_afresh(child_code):
    child = run_child(f"""
    import os, textwrap, warnings
    warnings.simplefilter("ignore", DeprecationWarning)  # fork() with threads, on purpose
    parent, parent_iid = delivering(Counting())
    assert parent.EnterRoom(enter_params("parent")) == 0
    pid = os.fork()
    if pid == 0:
        try:
            exec(textwrap.dedent({child_code!r}))
        except SystemExit:
            raise
        except BaseException:
            import traceback
            traceback.print_exc()
            os._exit(3)
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            break
        time.sleep(0.01)
    else:
        os.kill(pid, 9)
        os.waitpid(pid, 0)
        raise SystemExit("forked child hung")
    assert os.waitstatus_to_exitcode(status) == 0, status
    assert probe.is_live(parent_iid)  # the parent's own engine is untouched
    print("ok")
    """, timeout=60)
    assert_clean_exit(child)


def test_state_callbacks_survive_a_full_queue_while_media_is_dropped_and_counted(
        scene):  # noqa: F811
    probe.set_queue_capacity(4)
    try:
        member = scene.join("a")  # enters with the small queue
    finally:
        probe.set_queue_capacity(0)
    gate = threading.Event()
    member.party.hook = lambda event: event[0] == "OnRequestKeyFrame" and gate.wait(10)
    dropped_before = corvel.dropped_callbacks()
    assert probe.fire_many(member.iid, "OnRequestKeyFrame", 1, 2) == 1
    assert until(lambda: probe.stats(member.iid)["queue_depth"] == 0)  # delivery is held
    assert probe.fire_many(member.iid, "OnRequestKeyFrame", 10, 2) == 4
    for _ in range(20):  # a storm of state changes on a full queue
        assert member.cloud.ExitRoom() == 0
        assert member.cloud.EnterRoom(enter_params("a", scene.room_id)) == 0
    gate.set()
    assert probe.wait_idle(member.iid)
    names = [e[0] for e in member.party.events if e[0] in ("OnEnterRoom", "OnExitRoom")]
    assert names == ["OnEnterRoom"] + ["OnExitRoom", "OnEnterRoom"] * 20
    # Only media was dropped (quality reports may add to the key frame requests).
    assert probe.dropped(member.iid) >= 6
    assert corvel.dropped_callbacks() - dropped_before >= probe.dropped(member.iid)


def test_routing_long_audio_does_not_hold_the_room_against_callers(scene):  # noqa: F811
    tx = scene.join("tx")
    rx = scene.join("rx", method=E.AUDIO_OBTAIN_METHOD_GET, rate=16000, channels=1)
    assert tx.cloud.CreateLocalAudioChannel(audio_params(rate=48000, channels=2)) == 0
    frame = E.AudioFrame()
    frame.sample_rate, frame.channels = 48000, 2
    frame.SetData(bytes(48000 * 2 * 2 * 10))  # 10 s, the most one frame may carry
    for _ in range(300):
        assert tx.cloud.SendAudioFrame(frame) == 0
    worst = 0.0
    for _ in range(40):
        start = time.monotonic()
        assert rx.cloud.Subscribe("tx", E.STREAM_TYPE_AUDIO) == 0
        worst = max(worst, time.monotonic() - start)
        time.sleep(0.01)
    assert worst < 0.4, worst  # the whole backlog takes seconds to route


@pytest.mark.skipif(bool(os.environ.get("CORVEL_SANITIZED")),
                    reason="resident memory is meaningless under a sanitizer")
def test_operation_records_of_many_refusals_stay_bounded_after_destroy():
    child = run_child("""
    def rss_mib():
        with open("/proc/self/statm") as statm:
            return int(statm.read().split()[1]) * 4096 / 2**20

    before = rss_mib()
    clouds = [corvel.VORACloud(Quiet()) for _ in range(10)]
    message = bytes(1024)
    for cloud in clouds:
        for _ in range(20000):
            assert cloud.SendCustomCmdMsg(1, message, True, True) == 0  # not in a room
    del clouds, cloud
    gc.collect()
    growth = rss_mib() - before
    assert growth < 50, growth
    print("ok")
    """, timeout=120)
    assert_clean_exit(child)
