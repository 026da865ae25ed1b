"""Ending engine instances while their callbacks run: dropping a cloud under
continuous delivery, from inside its own callback, at interpreter exit, and
from several threads at once. Each case runs in a child process with a time
limit, so that a hang or a crash fails the test instead of the run."""

import os
import subprocess
import sys
import textwrap

import pytest

import _corvel

from py_kit import forks_with_threads

TESTS_DIR = os.path.dirname(os.path.abspath(__file__))
MODULE_DIR = os.path.dirname(os.path.abspath(_corvel.__file__))

PRELUDE = '''
import atexit, faulthandler, gc, sys, threading, time, weakref
faulthandler.enable()
import _corvel as corvel
import engine_probe as probe

from corvel import Delegate as Quiet  # every callback defined, doing nothing

class Counting(Quiet):
    """Counts OnRequestKeyFrame; remembers whether one ran after `ended`."""

    def __init__(self, work=None):
        super().__init__()
        self.count = 0
        self.after_end = 0
        self.ended = False
        self.first = threading.Event()
        self.work = work

    def OnRequestKeyFrame(self, stream_type):
        if self.ended:
            self.after_end += 1
        self.count += 1
        self.first.set()
        if self.work:
            self.work()

def enter_params(user="u"):
    params = corvel.EnterRoomParams()
    params.room.sdk_app_id, params.room.room_id = 1400000001, 7
    params.room.user_id = corvel.VoraString(user)
    params.room.user_sig = corvel.VoraString("sig")
    return params

def delivering(delegate):
    """A cloud on delegate whose engine keeps calling OnRequestKeyFrame."""
    cloud = corvel.VORACloud(delegate)
    assert probe.firehose_start(probe.last_instance(), "OnRequestKeyFrame", 2) == 0
    return cloud, probe.last_instance()

prelude_done = True  # code indented by mistake fails here instead of joining the function above
'''


def run_child(code, timeout=30):
    """Runs code after PRELUDE in a new interpreter; fails the test on a hang."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(
        [MODULE_DIR, TESTS_DIR] + ([env["PYTHONPATH"]] if env.get("PYTHONPATH") else []))
    source = PRELUDE + textwrap.dedent(code)
    try:
        return subprocess.run([sys.executable, "-c", source], capture_output=True, text=True,
                              timeout=timeout, env=env, cwd=TESTS_DIR)
    except subprocess.TimeoutExpired as hung:
        pytest.fail(f"child still running after {timeout} s\nstdout: {hung.stdout!r}\n"
                    f"stderr: {hung.stderr!r}")


def assert_clean_exit(child, marker="ok"):
    assert child.returncode == 0, f"exit code {child.returncode}\n{child.stdout}\n{child.stderr}"
    assert child.stdout.strip().endswith(marker), child.stdout
    for fatal in ("terminate called", "Fatal Python error", "Segmentation fault", "malloc"):
        assert fatal not in child.stderr, child.stderr


WORK = {
    "nothing": "None",
    "python-work": "lambda: sum(range(2000))",
    "lock-released": "lambda: time.sleep(0.0005)",
}

DROPPERS = {
    "main-thread": "drop()",
    "python-thread": "t = threading.Thread(target=drop); t.start(); t.join(30)",
    "another-cloud's-callback": (
        "other = Quiet()\n"
        "other.OnEnterRoom = drop\n"
        "dropper = corvel.VORACloud(other)\n"
        "assert probe.fire(probe.last_instance(), 'OnEnterRoom', timeout=30) == probe.DELIVERED\n"
        "del dropper"),
}


# Each dropper and each kind of work once in the default tier (the diagonal);
# the whole matrix in the slow tier.
DROP_CASES = [
    pytest.param(work, dropper, id=f"{work}-{dropper}",
                 marks=() if w == d else pytest.mark.slow)
    for w, work in enumerate(WORK) for d, dropper in enumerate(DROPPERS)
]


@pytest.mark.parametrize("work, dropper", DROP_CASES)
def test_dropping_a_delivering_cloud_ends_delivery_without_hanging(work, dropper):
    # Destroy on an engine thread does not wait for the callback in progress
    # (it may be destroying the caller's own instance): that one may finish
    # after Destroy returns, nothing starts afterwards.
    stragglers = 1 if dropper == "another-cloud's-callback" else 0
    child = run_child(f"""
    for _ in range(15):
        delegate = Counting({WORK[work]})
        holder = [delivering(delegate)]
        iid = holder[0][1]
        assert delegate.first.wait(10)

        def drop(*args):
            holder.clear()
            delegate.ended = True  # Destroy has returned

{textwrap.indent(DROPPERS[dropper], "        ")}
        assert not holder and delegate.ended
        assert not probe.is_live(iid)
        seen = delegate.count
        time.sleep(0.02)  # room for a straggler to show itself
        late = delegate.count - seen
        assert delegate.after_end <= {stragglers} and late <= delegate.after_end, (
            delegate.after_end, late)
    print("ok")
    """)
    assert_clean_exit(child)


TRIGGERS = {
    "OnEnterRoom": "cloud = delegate.cloud; assert cloud.EnterRoom(enter_params()) == 0; "
                   "del cloud; delegate.go.set()",
    "OnError": "assert probe.fire_many(iid, 'OnError', 3, -1) == 3; delegate.go.set()",
    "OnRequestKeyFrame": "assert probe.firehose_start(iid, 'OnRequestKeyFrame', 2) == 0; "
                         "delegate.go.set()",
    "OnReceiveCustomCmdMsg": "assert probe.firehose_start(iid, 'OnReceiveCustomCmdMsg', 'u', 1, "
                             "2, b'm') == 0; delegate.go.set()",
    "OnMissCustomCmdMsg": "assert probe.fire_many(iid, 'OnMissCustomCmdMsg', 3, 'u') == 3; "
                          "delegate.go.set()",
}


@pytest.mark.parametrize("callback", TRIGGERS)
def test_dropping_the_last_reference_inside_its_own_callback(callback):
    child = run_child(f"""
    class Owner(Quiet):
        def __init__(self):
            super().__init__()
            self.cloud = None
            self.go = threading.Event()
            self.dropped = threading.Event()
            self.after = 0

        def drop_own_cloud(self, *args):
            if self.dropped.is_set():
                self.after += 1
                return
            assert self.go.wait(10)
            self.cloud = None  # the only reference to the cloud
            self.dropped.set()

    Owner.{callback} = Owner.drop_own_cloud
    delegate = Owner()
    delegate.cloud = corvel.VORACloud(delegate)
    iid = probe.last_instance()
    watch = weakref.ref(delegate.cloud)
    {TRIGGERS[callback]}
    assert delegate.dropped.wait(10)
    assert watch() is None and not probe.is_live(iid)
    time.sleep(0.05)  # room for a straggler to show itself
    assert delegate.after == 0
    assert probe.fire(iid, "OnEnterRoom") == probe.UNKNOWN_INSTANCE
    print("ok")
    """)
    assert_clean_exit(child)


@pytest.mark.parametrize("failure", ["raise ValueError('v')", "raise SystemExit(2)",
                                     "raise KeyboardInterrupt", "missing"])
def test_exception_leaving_a_required_callback_keeps_the_process(failure):
    method = "" if failure == "missing" else f"def OnError(self, error): {failure}"
    child = run_child(f"""
    class Failing(corvel.VORACloudDelegate):
        arrived = threading.Event()

        def OnEnterRoom(self):
            self.arrived.set()

        {method}

    cloud = corvel.VORACloud(Failing())
    iid = probe.last_instance()
    for _ in range(3):
        assert probe.fire(iid, "OnError", -1) == probe.DELIVERED
    assert probe.fire(iid, "OnEnterRoom") == probe.DELIVERED
    assert Failing.arrived.is_set()
    assert probe.stats(iid)["callback_errors"] == 0  # the engine saw callbacks that returned
    print("dropping", flush=True)
    del cloud
    print("ok")
    """)
    assert_clean_exit(child)
    # Reported once in full on the engine thread, the two repeats once more
    # when the cloud ended (both through sys.unraisablehook, by default on
    # standard error).
    before, after = child.stderr.split("\n", 1)[0], child.stderr
    assert before.startswith("Exception ignored in delegate callback OnError: <__main__.Failing")
    assert after.count("Exception ignored in delegate callback OnError") == 2
    assert "Exception ignored in delegate callback OnError (2 more times in the last " in after


EXIT_SCENARIOS = {
    "global": """
    cloud, iid = delivering(Counting())
    """,
    "cycle": """
    delegate = Counting()
    delegate.cloud, iid = delivering(delegate)
    del delegate
    """,
    "several-cycles-with-python-work": """
    for _ in range(4):
        delegate = Counting(lambda: sum(range(5000)))
        delegate.cloud, iid = delivering(delegate)
    del delegate
    """,
    "callback-in-progress": """
    started = threading.Event()
    delegate = Counting(lambda: (started.set(), time.sleep(0.2)))
    cloud, iid = delivering(delegate)
    assert started.wait(10)
    """,
    "required-callback-raising": """
    class Raising(Quiet):
        def OnRequestKeyFrame(self, stream_type):
            raise ValueError("refused")
    clouds = [delivering(Raising()) for _ in range(3)]
    """,
    # The delegates drop their own clouds once exit has begun (atexit runs
    # the handlers registered last first, so this one runs before the
    # module's).
    "clouds-dropped-by-their-callbacks-during-exit": """
    exiting = threading.Event()

    class Leaving(Quiet):
        def OnRequestKeyFrame(self, stream_type):
            if exiting.is_set():
                self.cloud = None

    for _ in range(6):
        delegate = Leaving()
        delegate.cloud, iid = delivering(delegate)
    del delegate
    atexit.register(exiting.set)
    """,
    "daemon-threads-making-and-dropping-clouds": """
    cloud, iid = delivering(Counting())

    def churn():
        for round in range(10**9):
            cloud = corvel.VORACloud(Quiet())
            cloud.EnterRoom(enter_params(f"{threading.get_ident()} {round}"))
            del cloud

    for _ in range(2):
        threading.Thread(target=churn, daemon=True).start()
    time.sleep(0.2)
    """,
}


@pytest.mark.parametrize("runs", [
    pytest.param(1, id="once"),
    # A crash at exit depends on timing: the slow tier gives it a few chances.
    pytest.param(3, id="repeated", marks=pytest.mark.slow),
])
@pytest.mark.parametrize("scenario", EXIT_SCENARIOS)
def test_interpreter_exit_with_live_delivering_clouds(scenario, runs):
    code = textwrap.dedent(EXIT_SCENARIOS[scenario]) + "\nprint('main done', flush=True)\n"
    for _ in range(runs):
        child = run_child(code, timeout=30)
        assert_clean_exit(child, "main done")


@pytest.mark.parametrize("runs", [3, pytest.param(10, marks=pytest.mark.slow)])
def test_exit_while_a_callback_that_dropped_its_cloud_still_runs_python(runs):
    # The callback drops its own cloud (the engine lets it finish on its own)
    # and goes on running Python while the main thread returns: the exit hook
    # waits for it, where the interpreter would otherwise end that thread
    # mid-callback and its destructors would run without a thread state.
    code = textwrap.dedent("""
    import logging
    logging.basicConfig(level=logging.INFO, stream=sys.stderr)
    clouds = {}
    left = threading.Event()

    class Leaving(Quiet):
        def OnExitRoom(self):
            clouds.pop("me", None)
            left.set()
            for line in range(20):
                logging.info("after the cloud went: %d", line)

    clouds["me"] = corvel.VORACloud(Leaving())
    assert clouds["me"].EnterRoom(enter_params()) == 0
    assert clouds["me"].ExitRoom() == 0
    assert left.wait(10)
    print("main done", flush=True)
    """)
    for _ in range(runs):
        child = run_child(code, timeout=30)
        assert_clean_exit(child, "main done")
        assert child.stderr.count("after the cloud went") == 20, child.stderr


FORK_PRELUDE = """
import os, warnings
warnings.simplefilter("ignore", DeprecationWarning)  # fork with threads running

def in_child(body, timeout=10):
    # Forks; the child runs body() and leaves through sys.exit(0) (the exit
    # hooks run), or exits with status 1 if body raised. Returns the child's
    # wait status ("hung" past the timeout) and how long it took.
    started = time.monotonic()
    pid = os.fork()
    if pid == 0:
        try:
            body()
        except BaseException:
            import traceback
            traceback.print_exc()
            os._exit(1)
        sys.exit(0)
    while True:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return status, time.monotonic() - started
        if time.monotonic() - started > timeout:
            os.kill(pid, 9)
            os.waitpid(pid, 0)
            return "hung", timeout
        time.sleep(0.01)
"""


@forks_with_threads
def test_fork_while_callbacks_run_and_a_cloud_ends_leaves_the_child_free_to_exit():
    # At the fork, a callback of a cloud dropped in that callback runs (with
    # the lock let go) and a Python thread is inside Destroy waiting for a
    # callback: neither thread exists in the child, whose exit hook must not
    # wait for them.
    child = run_child(FORK_PRELUDE + textwrap.dedent("""
    inside = threading.Event()
    release = threading.Event()

    class Slow(Quiet):
        def OnEnterRoom(self):
            self.cloud = None  # its own cloud, dropped from its callback
            inside.set()
            release.wait(5)

        def OnExitRoom(self):
            inside.set()
            release.wait(5)

    own = Slow()
    own.cloud = corvel.VORACloud(own)
    assert probe.fire_many(probe.last_instance(), "OnEnterRoom", 1) == 1
    assert inside.wait(5)
    inside.clear()
    holder = [corvel.VORACloud(Slow())]
    assert probe.fire_many(probe.last_instance(), "OnExitRoom", 1) == 1
    assert inside.wait(5)
    dropper = threading.Thread(target=holder.clear)  # Destroy waits for OnExitRoom
    dropper.start()
    time.sleep(0.2)
    status, took = in_child(lambda: None)
    release.set()
    dropper.join(10)
    assert status == 0 and took < 5, (status, took)
    print("ok")
    """))
    assert_clean_exit(child)


@forks_with_threads
def test_child_process_after_fork_exits_at_once_and_makes_new_clouds():
    child = run_child(FORK_PRELUDE + textwrap.dedent("""
    clouds = [delivering(Counting(lambda: time.sleep(0.001))) for _ in range(3)]
    time.sleep(0.2)

    def new_cloud():
        entered = threading.Event()

        class Fresh(Quiet):
            def OnEnterRoom(self):
                entered.set()

        cloud = corvel.VORACloud(Fresh())
        assert cloud.EnterRoom(enter_params("child")) == 0
        assert entered.wait(5)
        del cloud
        del clouds[:]  # the parent's, in the child

    for body in (lambda: None, new_cloud):
        status, took = in_child(body)
        assert status == 0 and took < 5, (status, took)
    print("ok")
    """))
    assert_clean_exit(child)


CROSS_DROPPERS = {
    # Another instance's callback drops the cloud.
    "another-cloud's-callback": "other_cloud_drops",
    # A garbage collection on an engine thread frees a delegate/cloud cycle.
    "collection-on-an-engine-thread": "engine_thread_collects",
}


@pytest.mark.parametrize("how", CROSS_DROPPERS)
def test_cloud_ended_from_an_engine_thread_while_its_callbacks_run_elsewhere(how):
    # Destroy on an engine thread need not wait for a callback of the ended
    # instance running (or about to run) on that instance's own thread: the
    # callback finishes afterwards, and its delegate, whose only reference
    # was the ended cloud, must still be there for it.
    child = run_child(f"""
    finished = []

    class Target(Quiet):
        def __init__(self, slow):
            super().__init__()
            self.slow = slow

        def OnRequestKeyFrame(self, stream_type):
            # (A collection may have cleared the attributes already.)
            if getattr(self, "slow", False):
                time.sleep(0.01)  # the lock let go meanwhile
            sum(range(100))
            finished.append(1)

    def other_cloud_drops(holder):
        dropped = threading.Event()

        class Dropper(Quiet):
            def OnEnterRoom(self):
                holder.clear()
                dropped.set()

        dropper = corvel.VORACloud(Dropper())
        assert probe.fire_many(probe.last_instance(), "OnEnterRoom", 1) == 1
        assert dropped.wait(10)
        del dropper

    def engine_thread_collects(holder):
        iid = holder[0][1]
        delegate = holder[0][2]
        delegate.cycle = holder[0][0]  # delegate -> cloud -> delegate
        holder.clear()
        del delegate

        class Collector(Quiet):
            def OnEnterRoom(self):
                gc.collect()

        collector = corvel.VORACloud(Collector())
        collector_id = probe.last_instance()
        # A callback of the target running meanwhile holds its delegate: the
        # cycle is free only between two of them.
        deadline = time.monotonic() + 10
        while probe.is_live(iid) and time.monotonic() < deadline:
            assert probe.fire(collector_id, "OnEnterRoom") == probe.DELIVERED
        del collector

    how = {how!r}
    gc.disable()  # only the collection asked for
    for round in range(40):
        # (A slow callback that is always running would keep a collected
        # delegate reachable.)
        target = Target(slow=round % 2 == 0 and how.startswith("another"))
        cloud = corvel.VORACloud(target)
        iid = probe.last_instance()
        # With gaps, so that a collection can find the delegate held by no
        # callback (a running one holds it) while the next one is on its way.
        assert probe.firehose_start(iid, "OnRequestKeyFrame", 2,
                                    interval_us={200 if how.startswith("collection") else 0}) == 0
        holder = [(cloud, iid, target)]
        del cloud, target
        while not finished:
            time.sleep(0.001)
        {CROSS_DROPPERS[how]}(holder)
        assert not probe.is_live(iid)
    time.sleep(0.3)  # stragglers finish
    gc.enable()
    gc.collect()
    print("ok")
    """)
    assert_clean_exit(child)


@pytest.mark.parametrize("seconds", [
    pytest.param(0.5, id="short"), pytest.param(3, id="long", marks=pytest.mark.slow)])
def test_clouds_made_and_dropped_by_several_threads_while_engines_deliver(seconds):
    child = run_child("""
    gc.collect()
    base = (probe.create_count() - probe.destroy_count(), probe.live_instances())
    hoses = [delivering(Counting()) for _ in range(3)]
    stop = threading.Event()
    failures = []

    def churn(index):
        try:
            for round in range(10**9):
                if stop.is_set():
                    break
                delegate = Counting()
                cloud = corvel.VORACloud(delegate)
                probe.fire_many(probe.last_instance(), "OnRequestKeyFrame", 20, 1)
                assert cloud.EnterRoom(enter_params(f"user {index} {round}")) == 0
                assert cloud.CreateLocalAudioChannel(corvel.AudioEncodeParams()) == 0
                assert cloud.ExitRoom() == 0
                del cloud
                delegate.ended = True
                assert delegate.after_end == 0
        except BaseException as error:
            failures.append(repr(error))
            raise

    threads = [threading.Thread(target=churn, args=(index,)) for index in range(3)]
    for t in threads:
        t.start()
    stop.wait(SECONDS)
    stop.set()
    for t in threads:
        t.join(30)
    assert not any(t.is_alive() for t in threads) and not failures, failures
    for cloud, iid in hoses:
        assert probe.firehose_stop(iid) > 0
    assert all(cloud[0] is not None for cloud in hoses)
    del hoses, cloud
    gc.collect()
    assert (probe.create_count() - probe.destroy_count(), probe.live_instances()) == base
    print("ok")
    """.replace("SECONDS", str(seconds)))
    assert_clean_exit(child)


@pytest.mark.parametrize("call", [
    "corvel.VORACloud.__new__(corvel.VORACloud).ExitRoom()",
    "corvel.VORACloud.__new__(corvel.VORACloud).SendCustomCmdMsg(1, b'x', True, True)",
    "corvel.VORACloud.__new__(corvel.VORACloud).SetVideoEncodeParam("
    "corvel.STREAM_TYPE_VIDEO_HIGH, corvel.VideoEncodeParams())",
    "corvel.VORACloudDelegate.__new__(corvel.VORACloudDelegate).OnError(corvel.ERR_OK)",
    "corvel.VORACloudDelegate.__new__(corvel.VORACloudDelegate).OnNetworkQuality(None, None, 0)",
    "corvel.VORACloudDelegate.OnEnterRoom(Quiet.__new__(Quiet))",
    "corvel.AudioFrame.__new__(corvel.AudioFrame).data",
    "corvel.VideoFrame.__new__(corvel.VideoFrame).SetData(b'x')",
    "str(corvel.VoraString.__new__(corvel.VoraString))",
    "corvel.UserInfo.__new__(corvel.UserInfo).user_id.GetValue()",
    "corvel.VORACloud(Quiet()).SendAudioFrame(corvel.AudioFrame.__new__(corvel.AudioFrame))",
    "corvel.VORACloud(Quiet()).EnterRoom(corvel.EnterRoomParams.__new__(corvel.EnterRoomParams))",
    "setattr(corvel.EnterRoomParams(), 'room', corvel.RoomParams.__new__(corvel.RoomParams))",
    "setattr(corvel.AudioFrame(), 'codec', corvel.AudioCodecType.__new__(corvel.AudioCodecType))",
    "int(corvel.Error.__new__(corvel.Error))",
], ids=["ExitRoom", "SendCustomCmdMsg", "SetVideoEncodeParam", "OnError", "OnNetworkQuality",
        "OnEnterRoom-of-a-subclass", "frame-data", "frame-SetData", "VoraString-str",
        "record-field", "frame-argument", "record-argument", "record-field-assigned",
        "enum-field-assigned", "enum-int"])
def test_objects_never_initialised_refuse_calls_instead_of_crashing(call):
    child = run_child(f"""
    try:
        {call}
    except TypeError as error:
        assert "never initialised" in str(error), error
        print("ok")
    """)
    assert_clean_exit(child)


def test_every_use_of_every_class_never_initialised_raises_type_error():
    """Each bound class, made with cls.__new__(cls): reading every property,
    calling every method (with arguments of the right type where it takes
    some), str() and repr(), passing it as an argument and assigning it to a
    field of its type: each raises TypeError, nothing crashes."""
    child = run_child("""
    import inspect
    classes = [c for c in vars(corvel).values()
               if isinstance(c, type) and c.__module__ == "_corvel" and
               c.__name__ not in ("VORACloud", "VORACloudDelegate")]
    uses = 0
    for cls in classes:
        blank = cls.__new__(cls)
        # object's own str() and repr() read nothing of the native object.
        actions = [(name, lambda name=name: getattr(blank, name)())
                   for name in ("__str__", "__repr__") if getattr(cls, name) is not
                   getattr(object, name)]
        for name, member in vars(cls).items():
            if isinstance(member, property) and not name.startswith("__"):
                actions.append((name, lambda name=name: getattr(blank, name)))
                if member.fset is not None:
                    value = getattr(cls(), name) if cls.__init__ is not object.__init__ else 0
                    actions.append(("set " + name,
                                    lambda name=name, value=value: setattr(blank, name, value)))
            elif callable(member) and not name.startswith("__"):
                args = {"SetData": (b"x",), "SetExtraData": (b"x",), "SetValue": ("x",)}
                actions.append((name, lambda name=name: getattr(blank, name)(
                    *args.get(name, ()))))
        if hasattr(cls, "__int__"):
            actions.append(("int", lambda: int(blank)))
        for label, action in actions:
            print(cls.__name__, label, flush=True)
            try:
                action()
            except TypeError as error:
                uses += 1
                continue
            raise AssertionError(f"{cls.__name__} {label}: no TypeError")
    # As an argument and as a field's value.
    cloud = corvel.VORACloud(Quiet())

    def blank(name):
        cls = getattr(corvel, name)
        return cls.__new__(cls)

    high = corvel.STREAM_TYPE_VIDEO_HIGH
    for label, action in [
        ("SendAudioFrame", lambda: cloud.SendAudioFrame(blank("AudioFrame"))),
        ("SendVideoFrame", lambda: cloud.SendVideoFrame(high, blank("VideoFrame"))),
        ("SendPixelFrame", lambda: cloud.SendPixelFrame(high, blank("PixelFrame"))),
        ("GetAudioFrame", lambda: cloud.GetAudioFrame(blank("AudioFrame"))),
        ("CreateLocalAudioChannel",
         lambda: cloud.CreateLocalAudioChannel(blank("AudioEncodeParams"))),
        ("Subscribe", lambda: cloud.Subscribe("u", blank("StreamType"))),
        ("EnterRoom", lambda: cloud.EnterRoom(blank("EnterRoomParams"))),
        ("user_id", lambda: setattr(corvel.UserInfo(), "user_id", blank("VoraString"))),
        ("audio_obtain_params", lambda: setattr(corvel.EnterRoomParams(), "audio_obtain_params",
                                                blank("AudioObtainParams"))),
        ("base callback", lambda: corvel.VORACloudDelegate.OnRemoteAudioReceived(
            Quiet(), "u", blank("AudioFrame"))),
    ]:
        print(label, flush=True)
        try:
            action()
        except TypeError as error:
            assert "never initialised" in str(error), error
            uses += 1
            continue
        raise AssertionError(f"{label}: no TypeError")
    assert uses > 100, uses
    print("ok")
    """)
    assert_clean_exit(child)


def test_cloud_refuses_a_delegate_never_initialised():
    child = run_child("""
    creates = probe.create_count()
    try:
        corvel.VORACloud(Quiet.__new__(Quiet))
    except (TypeError, RuntimeError):
        pass
    assert probe.create_count() == creates
    print("ok")
    """)
    assert_clean_exit(child)
