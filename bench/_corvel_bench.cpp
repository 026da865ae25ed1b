// _corvel_bench: native baselines for the corvel benchmarks. Built by
// bench/native.py into build/bench-native/ and used only by bench/.
//
// Everything here is written against the plain CPython C API (no binding
// library), so that each figure of the binding can be set beside what the
// same work costs when done by hand in the same process:
//
//  * Noop: a type whose methods are METH_FASTCALL no-ops of arity 0..4 and
//    whose `field` is a C getter/setter: the floor of a call from Python.
//  * memcpy timing of a given size, into a warm destination and into a fresh
//    allocation, with the interpreter lock released.
//  * A native caller: a thread started here (not a Python thread) that, per
//    call, takes the interpreter lock with PyGILState_Ensure, builds the
//    arguments with the plain C API and calls a method of a Python object
//    with PyObject_VectorcallMethod, then lets the lock go again. Frames and
//    records are handed over as minimal C objects holding a copy of the
//    engine value (NativeFrame, NativeRecord), so the baseline copies what
//    the binding copies. A variant keeps one thread state for the thread's
//    whole life instead of one per call.
//  * A native delegate: an engine instance whose delegate is a C++ no-op,
//    to time the engine's own delivery, and direct C++ calls of engine
//    operations, to time the engine's own work.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <structmember.h>

#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "vora/corvel_vora_cloud.h"
#include "vora/corvel_vora_defines.h"

namespace {

using namespace corvel::vora;
using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

// ---------------------------------------------------------------- Noop ----

struct NoopObject {
  PyObject_HEAD long field;
};

PyObject* NoopReturn() { return PyLong_FromLong(0); }

PyObject* Noop_m0(PyObject*, PyObject* const*, Py_ssize_t nargs) {
  if (nargs != 0) return PyErr_Format(PyExc_TypeError, "m0 takes 0 arguments");
  return NoopReturn();
}
PyObject* Noop_m1(PyObject*, PyObject* const*, Py_ssize_t nargs) {
  if (nargs != 1) return PyErr_Format(PyExc_TypeError, "m1 takes 1 argument");
  return NoopReturn();
}
PyObject* Noop_m2(PyObject*, PyObject* const*, Py_ssize_t nargs) {
  if (nargs != 2) return PyErr_Format(PyExc_TypeError, "m2 takes 2 arguments");
  return NoopReturn();
}
PyObject* Noop_m3(PyObject*, PyObject* const*, Py_ssize_t nargs) {
  if (nargs != 3) return PyErr_Format(PyExc_TypeError, "m3 takes 3 arguments");
  return NoopReturn();
}
PyObject* Noop_m4(PyObject*, PyObject* const*, Py_ssize_t nargs) {
  if (nargs != 4) return PyErr_Format(PyExc_TypeError, "m4 takes 4 arguments");
  return NoopReturn();
}

PyObject* Noop_get_field(PyObject* self, void*) {
  return PyLong_FromLong(reinterpret_cast<NoopObject*>(self)->field);
}
int Noop_set_field(PyObject* self, PyObject* value, void*) {
  if (value == nullptr) {
    PyErr_SetString(PyExc_AttributeError, "cannot delete");
    return -1;
  }
  long v = PyLong_AsLong(value);
  if (v == -1 && PyErr_Occurred()) return -1;
  reinterpret_cast<NoopObject*>(self)->field = v;
  return 0;
}

PyMethodDef kNoopMethods[] = {
    {"m0", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(Noop_m0)), METH_FASTCALL,
     nullptr},
    {"m1", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(Noop_m1)), METH_FASTCALL,
     nullptr},
    {"m2", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(Noop_m2)), METH_FASTCALL,
     nullptr},
    {"m3", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(Noop_m3)), METH_FASTCALL,
     nullptr},
    {"m4", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(Noop_m4)), METH_FASTCALL,
     nullptr},
    {nullptr, nullptr, 0, nullptr}};

PyGetSetDef kNoopGetSet[] = {{"field", Noop_get_field, Noop_set_field, nullptr, nullptr},
                             {nullptr, nullptr, nullptr, nullptr, nullptr}};

// Static types, zero-filled here and set up in PyInit (MakeType).
PyTypeObject NoopType;

// ---------------------------------------------- NativeFrame, NativeRecord ----
// Minimal Python objects owning a copy of an engine value.

struct NativeFrameObject {
  PyObject_HEAD AudioFrame frame;
};

void NativeFrame_dealloc(PyObject* self) {
  reinterpret_cast<NativeFrameObject*>(self)->frame.~AudioFrame();
  Py_TYPE(self)->tp_free(self);
}

PyObject* NativeFrame_get_size(PyObject* self, void*) {
  return PyLong_FromSize_t(reinterpret_cast<NativeFrameObject*>(self)->frame.size());
}

PyGetSetDef kNativeFrameGetSet[] = {{"size", NativeFrame_get_size, nullptr, nullptr, nullptr},
                                    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyTypeObject NativeFrameType;

PyObject* NewNativeFrame(const AudioFrame& frame) {
  auto* object = PyObject_New(NativeFrameObject, &NativeFrameType);
  if (object == nullptr) return nullptr;
  new (&object->frame) AudioFrame(frame);
  return reinterpret_cast<PyObject*>(object);
}

struct NativeRecordObject {
  PyObject_HEAD NetworkQualityInfo info;
};

void NativeRecord_dealloc(PyObject* self) {
  reinterpret_cast<NativeRecordObject*>(self)->info.~NetworkQualityInfo();
  Py_TYPE(self)->tp_free(self);
}

PyTypeObject NativeRecordType;

PyObject* NewNativeRecord(const NetworkQualityInfo& info) {
  auto* object = PyObject_New(NativeRecordObject, &NativeRecordType);
  if (object == nullptr) return nullptr;
  new (&object->info) NetworkQualityInfo(info);
  return reinterpret_cast<PyObject*>(object);
}

// -------------------------------------------------------------- memcpy ----

// Touches every page so that no page fault lands inside a timed copy.
void Touch(uint8_t* p, size_t n) {
  for (size_t i = 0; i < n; i += 4096) p[i] = static_cast<uint8_t>(i);
  if (n) p[n - 1] = 1;
}

// Seconds per copy (best of `repeats` rounds of at least `round_seconds`).
// fresh=false: into one warm destination; fresh=true: each copy into a new
// malloc'd destination that is freed afterwards.
double TimeMemcpy(size_t size, double round_seconds, int repeats, bool fresh) {
  std::vector<uint8_t> src(size);
  Touch(src.data(), size);
  std::vector<uint8_t> warm(fresh ? 0 : size);
  if (!fresh) Touch(warm.data(), size);
  double best = 1e300;
  for (int r = 0; r < repeats; ++r) {
    size_t n = 0;
    const auto start = Clock::now();
    auto now = start;
    do {
      for (int k = 0; k < 8; ++k) {
        if (fresh) {
          auto* dst = static_cast<uint8_t*>(std::malloc(size));
          std::memcpy(dst, src.data(), size);
          // Keep the copy from being optimized away.
          asm volatile("" : : "r"(dst) : "memory");
          std::free(dst);
        } else {
          std::memcpy(warm.data(), src.data(), size);
          asm volatile("" : : "r"(warm.data()) : "memory");
        }
        ++n;
      }
      now = Clock::now();
    } while (Seconds(start, now) < round_seconds);
    const double per = Seconds(start, now) / static_cast<double>(n);
    if (per < best) best = per;
  }
  return best;
}

PyObject* py_memcpy_seconds(PyObject*, PyObject* args) {
  Py_ssize_t size = 0;
  double round_seconds = 0.1;
  int repeats = 5;
  int fresh = 0;
  if (!PyArg_ParseTuple(args, "n|dip", &size, &round_seconds, &repeats, &fresh)) return nullptr;
  if (size <= 0 || repeats <= 0) return PyErr_Format(PyExc_ValueError, "bad size");
  PyThreadState* saved = PyEval_SaveThread();
  const double seconds = TimeMemcpy(static_cast<size_t>(size), round_seconds, repeats, fresh != 0);
  PyEval_RestoreThread(saved);
  return PyFloat_FromDouble(seconds);
}

// ------------------------------------------------------- native caller ----

enum CallKind { kNoArgs = 0, kAudioFrame = 1, kNetworkQuality = 2 };

struct Caller {
  std::thread thread;
  std::atomic<bool> stop{false};
  std::atomic<bool> running{false};
  // Written by the thread, read after join.
  uint64_t done = 0;
  double seconds = 0;
  std::string error;
  // Owned references, released by the main thread after join.
  PyObject* target = nullptr;
  PyObject* name = nullptr;
};

Caller* g_caller = nullptr;

const char kRemoteUser[] = "remote-user-1";

// One call of target.name(...) with the interpreter lock held. False on a
// Python error (printed and cleared).
bool CallOnce(PyObject* target, PyObject* name, int kind, const AudioFrame& frame,
              const std::vector<NetworkQualityInfo>& records) {
  PyObject* argv[3] = {target, nullptr, nullptr};
  size_t nargs = 1;
  bool ok = true;
  if (kind == kAudioFrame) {
    argv[1] = PyUnicode_FromString(kRemoteUser);
    argv[2] = NewNativeFrame(frame);
    nargs = 3;
    ok = argv[1] && argv[2];
  } else if (kind == kNetworkQuality) {
    argv[1] = NewNativeRecord(records[0]);
    argv[2] = PyList_New(static_cast<Py_ssize_t>(records.size() - 1));
    ok = argv[1] && argv[2];
    for (size_t i = 1; ok && i < records.size(); ++i) {
      PyObject* record = NewNativeRecord(records[i]);
      if (record == nullptr) {
        ok = false;
        break;
      }
      PyList_SET_ITEM(argv[2], static_cast<Py_ssize_t>(i - 1), record);
    }
    nargs = 3;
  }
  if (ok) {
    PyObject* result = PyObject_VectorcallMethod(name, argv, nargs, nullptr);
    ok = result != nullptr;
    Py_XDECREF(result);
  }
  Py_XDECREF(argv[1]);
  Py_XDECREF(argv[2]);
  if (!ok) {
    PyErr_Print();
  }
  return ok;
}

void CallerMain(Caller* caller, int kind, uint64_t count, bool persistent) {
  AudioFrame frame;
  frame.sample_rate = 48000;
  frame.channels = 2;
  frame.bits_per_sample = 16;
  std::vector<uint8_t> pcm(480 * 2 * 2, 7);
  frame.SetData(pcm.data(), pcm.size());
  std::vector<NetworkQualityInfo> records(9);
  for (size_t i = 0; i < records.size(); ++i) {
    const std::string user = i == 0 ? "local-user" : "remote-user-" + std::to_string(i);
    records[i].user_id.SetValue(user.c_str());
    records[i].quality = NETWORK_QUALITY_GOOD;
  }

  // Persistent: one thread state for the whole run, made by the first
  // PyGILState_Ensure and kept by not releasing it until the end.
  PyThreadState* kept = nullptr;
  PyGILState_STATE outer = PyGILState_UNLOCKED;
  if (persistent) {
    outer = PyGILState_Ensure();
    kept = PyEval_SaveThread();
  }
  uint64_t done = 0;
  const auto start = Clock::now();
  while (done < count && !caller->stop.load(std::memory_order_relaxed)) {
    bool ok;
    if (persistent) {
      PyEval_RestoreThread(kept);
      ok = CallOnce(caller->target, caller->name, kind, frame, records);
      PyEval_SaveThread();
    } else {
      PyGILState_STATE state = PyGILState_Ensure();
      ok = CallOnce(caller->target, caller->name, kind, frame, records);
      PyGILState_Release(state);
    }
    if (!ok) {
      caller->error = "the Python call raised";
      break;
    }
    ++done;
  }
  const auto end = Clock::now();
  if (persistent) {
    PyEval_RestoreThread(kept);
    PyGILState_Release(outer);
  }
  caller->done = done;
  caller->seconds = Seconds(start, end);
  caller->running.store(false);
}

// caller_start(target, method_name, kind, count, persistent=False)
PyObject* py_caller_start(PyObject*, PyObject* args) {
  PyObject* target = nullptr;
  PyObject* name = nullptr;
  int kind = 0;
  unsigned long long count = 0;
  int persistent = 0;
  if (!PyArg_ParseTuple(args, "OUiK|p", &target, &name, &kind, &count, &persistent)) return nullptr;
  if (g_caller != nullptr) return PyErr_Format(PyExc_RuntimeError, "a caller is running");
  if (kind < kNoArgs || kind > kNetworkQuality) return PyErr_Format(PyExc_ValueError, "bad kind");
  auto* caller = new Caller();
  Py_INCREF(target);
  Py_INCREF(name);
  PyUnicode_InternInPlace(&name);
  caller->target = target;
  caller->name = name;
  caller->running.store(true);
  g_caller = caller;
  caller->thread =
      std::thread(CallerMain, caller, kind, static_cast<uint64_t>(count), persistent != 0);
  Py_RETURN_NONE;
}

// caller_finish(stop) -> (calls, seconds): stop=True asks the thread to end
// now; otherwise waits until it made all its calls.
PyObject* py_caller_finish(PyObject*, PyObject* args) {
  int stop = 0;
  if (!PyArg_ParseTuple(args, "|p", &stop)) return nullptr;
  Caller* caller = g_caller;
  if (caller == nullptr) return PyErr_Format(PyExc_RuntimeError, "no caller");
  if (stop) caller->stop.store(true);
  PyThreadState* saved = PyEval_SaveThread();
  caller->thread.join();
  PyEval_RestoreThread(saved);
  g_caller = nullptr;
  Py_DECREF(caller->target);
  Py_DECREF(caller->name);
  PyObject* result = nullptr;
  if (!caller->error.empty()) {
    PyErr_SetString(PyExc_RuntimeError, caller->error.c_str());
  } else {
    result = Py_BuildValue("(Kd)", static_cast<unsigned long long>(caller->done), caller->seconds);
  }
  delete caller;
  return result;
}

PyObject* py_caller_done(PyObject*, PyObject*) {
  return PyBool_FromLong(g_caller == nullptr || !g_caller->running.load());
}

// ------------------------------------------------------ native delegate ----

class NoopDelegate : public VORACloudDelegate {
 public:
  std::atomic<uint64_t> calls{0};
  void Count() { calls.fetch_add(1, std::memory_order_relaxed); }
  void OnError(Error) override { Count(); }
  void OnConnectionStateChanged(ConnectionState, ConnectionState) override { Count(); }
  void OnEnterRoom() override { Count(); }
  void OnExitRoom() override { Count(); }
  void OnLocalAudioChannelCreated() override { Count(); }
  void OnLocalAudioChannelDestroyed() override { Count(); }
  void OnLocalVideoChannelCreated(StreamType) override { Count(); }
  void OnLocalVideoChannelDestroyed(StreamType) override { Count(); }
  void OnRequestChangeVideoEncodeBitrate(StreamType, int) override { Count(); }
  void OnRequestKeyFrame(StreamType) override { Count(); }
  void OnRemoteUserEnterRoom(const UserInfo&) override { Count(); }
  void OnRemoteUserExitRoom(const UserInfo&, int) override { Count(); }
  void OnRemoteAudioAvailable(const char*, bool) override { Count(); }
  void OnRemoteVideoAvailable(const char*, bool, StreamType) override { Count(); }
  void OnRemoteVideoReceived(const char*, StreamType, const VideoFrame&) override { Count(); }
  void OnRemoteVideoReceived(const char*, StreamType, const PixelFrame&) override { Count(); }
  void OnRemoteAudioReceived(const char*, const AudioFrame&) override { Count(); }
  void OnRemoteMixedAudioReceived(const AudioFrame&) override { Count(); }
  void OnNetworkQuality(NetworkQualityInfo*, NetworkQualityInfo*, size_t) override { Count(); }
};

struct NativeCloud {
  NoopDelegate delegate;
  VORACloud* cloud = nullptr;
  AudioFrame frame;            // 10 ms of 48 kHz stereo PCM
  std::vector<uint8_t> pcm20;  // 20 ms of 48 kHz stereo PCM
  AudioFrame frame20;          // refilled from pcm20 before each send
  std::string message;
};

// native_cloud_create(enter_room) -> handle (int). With enter_room the
// instance enters a room and opens an audio channel, so that sends answer OK.
PyObject* py_native_cloud_create(PyObject*, PyObject* args) {
  int enter = 0;
  if (!PyArg_ParseTuple(args, "|p", &enter)) return nullptr;
  auto* native = new NativeCloud();
  native->cloud = VORACloud::Create(&native->delegate);
  if (native->cloud == nullptr) {
    delete native;
    return PyErr_Format(PyExc_RuntimeError, "VORACloud::Create failed");
  }
  native->frame.sample_rate = 48000;
  native->frame.channels = 2;
  std::vector<uint8_t> pcm(480 * 2 * 2, 3);
  native->frame.SetData(pcm.data(), pcm.size());
  native->pcm20.assign(960 * 2 * 2, 5);
  native->frame20.sample_rate = 48000;
  native->frame20.channels = 2;
  native->message.assign(64, 'm');
  if (enter) {
    EnterRoomParams params;
    params.room.sdk_app_id = 1400000001;
    params.room.room_id = 900001;
    params.room.user_id.SetValue("native-bench");
    params.room.user_sig.SetValue("sig");
    AudioEncodeParams audio;
    audio.channels = 2;
    audio.frame_length_ms = 10;
    if (native->cloud->EnterRoom(params) != ERR_OK ||
        native->cloud->CreateLocalAudioChannel(audio) != ERR_OK) {
      VORACloud::Destroy(native->cloud);
      delete native;
      return PyErr_Format(PyExc_RuntimeError, "could not enter a room");
    }
  }
  return PyLong_FromVoidPtr(native);
}

NativeCloud* NativeFrom(PyObject* handle) {
  void* p = PyLong_AsVoidPtr(handle);
  if (p == nullptr && !PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "null handle");
  return static_cast<NativeCloud*>(p);
}

PyObject* py_native_cloud_pointer(PyObject*, PyObject* handle) {
  NativeCloud* native = NativeFrom(handle);
  if (native == nullptr) return nullptr;
  return PyLong_FromVoidPtr(native->cloud);
}

PyObject* py_native_cloud_calls(PyObject*, PyObject* handle) {
  NativeCloud* native = NativeFrom(handle);
  if (native == nullptr) return nullptr;
  return PyLong_FromUnsignedLongLong(native->delegate.calls.load());
}

PyObject* py_native_cloud_destroy(PyObject*, PyObject* handle) {
  NativeCloud* native = NativeFrom(handle);
  if (native == nullptr) return nullptr;
  PyThreadState* saved = PyEval_SaveThread();
  VORACloud::Destroy(native->cloud);
  PyEval_RestoreThread(saved);
  delete native;
  Py_RETURN_NONE;
}

// native_op_seconds(handle, op, iterations) -> (seconds per call, calls that
// did not answer OK) of an engine operation called directly from C++ (the
// engine's own cost).
// op: "SendAudioFrame", "SendCustomCmdMsg", "Subscribe", "field_read",
// "field_write", "SetData+SendAudioFrame" (a 20 ms frame filled, then sent).
PyObject* py_native_op_seconds(PyObject*, PyObject* args) {
  PyObject* handle = nullptr;
  const char* op = nullptr;
  unsigned long long iterations = 0;
  if (!PyArg_ParseTuple(args, "OsK", &handle, &op, &iterations)) return nullptr;
  NativeCloud* native = NativeFrom(handle);
  if (native == nullptr) return nullptr;
  const std::string which(op);
  VORACloud* cloud = native->cloud;
  long failures = 0;
  double seconds = 0;
  bool known = true;
  PyThreadState* saved = PyEval_SaveThread();
  const auto start = Clock::now();
  if (which == "SendAudioFrame") {
    for (uint64_t i = 0; i < iterations; ++i) failures += cloud->SendAudioFrame(native->frame) != 0;
  } else if (which == "SetData+SendAudioFrame") {
    for (uint64_t i = 0; i < iterations; ++i) {
      native->frame20.SetData(native->pcm20.data(), native->pcm20.size());
      failures += cloud->SendAudioFrame(native->frame20) != 0;
    }
  } else if (which == "SendCustomCmdMsg") {
    for (uint64_t i = 0; i < iterations; ++i)
      failures +=
          !cloud->SendCustomCmdMsg(1, native->message.data(), native->message.size(), true, true);
  } else if (which == "Subscribe") {
    for (uint64_t i = 0; i < iterations; ++i)
      failures += cloud->Subscribe(kRemoteUser, STREAM_TYPE_AUDIO) != 0;
  } else if (which == "field_read") {
    for (uint64_t i = 0; i < iterations; ++i) {
      int v = native->frame.sample_rate;
      asm volatile("" : : "r"(v) : "memory");
    }
  } else if (which == "field_write") {
    for (uint64_t i = 0; i < iterations; ++i) {
      native->frame.sample_rate = 48000;
      asm volatile("" : : "r"(&native->frame) : "memory");
    }
  } else {
    known = false;
  }
  seconds = Seconds(start, Clock::now());
  PyEval_RestoreThread(saved);
  if (!known) return PyErr_Format(PyExc_ValueError, "unknown op %s", op);
  // (The engine limits custom messages per second: past that they answer
  // false at once, which is still the operation's cost.)
  return Py_BuildValue("(dl)", iterations ? seconds / static_cast<double>(iterations) : 0.0,
                       failures);
}

// ------------------------------------------------- native room baseline ----
// The end-to-end scenarios with C++ delegates: what the engine alone costs.

class RoomDelegate : public NoopDelegate {
 public:
  std::atomic<uint64_t> audio{0};
  std::mutex mu;
  std::condition_variable cv;
  Clock::time_point last_received{};
  uint64_t received_seq = 0;

  void OnRemoteAudioReceived(const char*, const AudioFrame&) override {
    const auto now = Clock::now();
    audio.fetch_add(1, std::memory_order_relaxed);
    {
      std::lock_guard<std::mutex> lock(mu);
      last_received = now;
      ++received_seq;
    }
    cv.notify_all();
  }
};

struct RoomParty {
  RoomDelegate delegate;
  VORACloud* cloud = nullptr;
};

// Makes `n` parties in room `room`, each with a 48 kHz mono 20 ms audio
// channel and remote audio delivered per user in that same format.
bool MakeParties(std::vector<std::unique_ptr<RoomParty>>& parties, int n, uint32_t room) {
  for (int i = 0; i < n; ++i) {
    auto party = std::make_unique<RoomParty>();
    party->cloud = VORACloud::Create(&party->delegate);
    if (party->cloud == nullptr) return false;
    EnterRoomParams params;
    params.room.sdk_app_id = 1400000001;
    params.room.room_id = room;
    const std::string user = "native-" + std::to_string(i);
    params.room.user_id.SetValue(user.c_str());
    params.room.user_sig.SetValue("sig");
    params.audio_obtain_params.output_sample_rate = 48000;
    params.audio_obtain_params.output_channels = 1;
    params.audio_obtain_params.output_frame_length_ms = 20;
    AudioEncodeParams audio;
    audio.channels = 1;
    audio.sample_rate = 48000;
    audio.frame_length_ms = 20;
    RoomParty* raw = party.get();
    parties.push_back(std::move(party));
    if (raw->cloud->EnterRoom(params) != ERR_OK) return false;
    if (raw->cloud->CreateLocalAudioChannel(audio) != ERR_OK) return false;
  }
  return true;
}

void EndParties(std::vector<std::unique_ptr<RoomParty>>& parties) {
  for (auto& party : parties)
    if (party->cloud) VORACloud::Destroy(party->cloud);
  parties.clear();
}

AudioFrame MonoFrame20ms() {
  AudioFrame frame;
  frame.sample_rate = 48000;
  frame.channels = 1;
  std::vector<uint8_t> pcm(960 * 2, 5);
  frame.SetData(pcm.data(), pcm.size());
  return frame;
}

double CpuSeconds() {
  struct rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// native_room_scale(parties, ticks, room) -> dict: every party sends one 20 ms
// frame per tick, in real time, from one sender thread.
PyObject* py_native_room_scale(PyObject*, PyObject* args) {
  int n = 0;
  int ticks = 0;
  unsigned int room = 0;
  if (!PyArg_ParseTuple(args, "iiI", &n, &ticks, &room)) return nullptr;
  std::vector<std::unique_ptr<RoomParty>> parties;
  bool ok = true;
  uint64_t received = 0;
  int late = 0;
  double cpu = 0;
  double wall = 0;
  double drain = 0;
  PyThreadState* saved = PyEval_SaveThread();
  ok = MakeParties(parties, n, room);
  if (ok) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // joins settle
    for (auto& p : parties) p->delegate.audio.store(0);
    const AudioFrame frame = MonoFrame20ms();
    const double cpu0 = CpuSeconds();
    const auto start = Clock::now();
    auto next = start;
    for (int t = 0; t < ticks; ++t) {
      for (auto& p : parties) p->cloud->SendAudioFrame(frame);
      next += std::chrono::milliseconds(20);
      if (Clock::now() > next) ++late;
      std::this_thread::sleep_until(next);
    }
    const uint64_t expected = static_cast<uint64_t>(ticks) * n * (n - 1);
    const auto sent_all = Clock::now();
    auto count = [&] {
      uint64_t total = 0;
      for (auto& p : parties) total += p->delegate.audio.load();
      return total;
    };
    while (count() < expected && Clock::now() - sent_all < std::chrono::seconds(2))
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    drain = Seconds(sent_all, Clock::now());
    wall = Seconds(start, Clock::now());
    cpu = CpuSeconds() - cpu0;
    received = count();
  }
  EndParties(parties);
  PyEval_RestoreThread(saved);
  if (!ok) return PyErr_Format(PyExc_RuntimeError, "could not set up the room");
  return Py_BuildValue("{s:K,s:i,s:d,s:d,s:d}", "received",
                       static_cast<unsigned long long>(received), "late_ticks", late, "cpu_seconds",
                       cpu, "wall_seconds", wall, "drain_seconds", drain);
}

// native_receiver_start(room, user) / native_receiver_wait(seq, timeout_ms):
// one C++ party in a room whose OnRemoteAudioReceived notes the time, for
// telling the engine's part of a latency from the binding's.
std::unique_ptr<RoomParty> g_receiver;

PyObject* py_native_receiver_start(PyObject*, PyObject* args) {
  unsigned int room = 0;
  if (!PyArg_ParseTuple(args, "I", &room)) return nullptr;
  std::vector<std::unique_ptr<RoomParty>> parties;
  PyThreadState* saved = PyEval_SaveThread();
  const bool ok = MakeParties(parties, 1, room);
  PyEval_RestoreThread(saved);
  if (!ok) {
    EndParties(parties);
    return PyErr_Format(PyExc_RuntimeError, "could not set up the room");
  }
  g_receiver = std::move(parties[0]);
  Py_RETURN_NONE;
}

// -> (received count, monotonic ns of the last arrival)
PyObject* py_native_receiver_last(PyObject*, PyObject*) {
  if (!g_receiver) return PyErr_Format(PyExc_RuntimeError, "no receiver");
  std::lock_guard<std::mutex> lock(g_receiver->delegate.mu);
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                      g_receiver->delegate.last_received.time_since_epoch())
                      .count();
  return Py_BuildValue("(KL)", static_cast<unsigned long long>(g_receiver->delegate.received_seq),
                       static_cast<long long>(ns));
}

PyObject* py_native_receiver_stop(PyObject*, PyObject*) {
  if (g_receiver) {
    PyThreadState* saved = PyEval_SaveThread();
    VORACloud::Destroy(g_receiver->cloud);
    PyEval_RestoreThread(saved);
    g_receiver.reset();
  }
  Py_RETURN_NONE;
}

// native_latency(count, room) -> list of nanoseconds from SendAudioFrame on
// one party to OnRemoteAudioReceived on another (None for a frame that did
// not arrive within 200 ms); one frame in flight at a time, every 20 ms.
PyObject* py_native_latency(PyObject*, PyObject* args) {
  int count = 0;
  unsigned int room = 0;
  if (!PyArg_ParseTuple(args, "iI", &count, &room)) return nullptr;
  std::vector<std::unique_ptr<RoomParty>> parties;
  std::vector<int64_t> latencies;
  PyThreadState* saved = PyEval_SaveThread();
  const bool ok = MakeParties(parties, 2, room);
  if (ok) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const AudioFrame frame = MonoFrame20ms();
    RoomDelegate& receiver = parties[1]->delegate;
    auto next = Clock::now();
    for (int i = 0; i < count; ++i) {
      uint64_t seq;
      {
        std::lock_guard<std::mutex> lock(receiver.mu);
        seq = receiver.received_seq;
      }
      const auto sent = Clock::now();
      parties[0]->cloud->SendAudioFrame(frame);
      std::unique_lock<std::mutex> lock(receiver.mu);
      if (receiver.cv.wait_for(lock, std::chrono::milliseconds(200),
                               [&] { return receiver.received_seq > seq; })) {
        latencies.push_back(
            std::chrono::duration_cast<std::chrono::nanoseconds>(receiver.last_received - sent)
                .count());
      } else {
        latencies.push_back(-1);
      }
      lock.unlock();
      next += std::chrono::milliseconds(20);
      std::this_thread::sleep_until(next);
    }
  }
  EndParties(parties);
  PyEval_RestoreThread(saved);
  if (!ok) return PyErr_Format(PyExc_RuntimeError, "could not set up the room");
  PyObject* list = PyList_New(0);
  if (list == nullptr) return nullptr;
  for (int64_t v : latencies) {
    PyObject* item = v < 0 ? Py_NewRef(Py_None) : PyLong_FromLongLong(v);
    if (item == nullptr || PyList_Append(list, item) < 0) {
      Py_XDECREF(item);
      Py_DECREF(list);
      return nullptr;
    }
    Py_DECREF(item);
  }
  return list;
}

// ---------------------------------------------------------------- module ----

PyMethodDef kModuleMethods[] = {
    {"memcpy_seconds", py_memcpy_seconds, METH_VARARGS,
     "memcpy_seconds(size, round_seconds=0.1, repeats=5, fresh=False) -> seconds per copy"},
    {"caller_start", py_caller_start, METH_VARARGS,
     "caller_start(target, method_name, kind, count, persistent=False)"},
    {"caller_finish", py_caller_finish, METH_VARARGS, "caller_finish(stop=False) -> (calls, s)"},
    {"caller_done", py_caller_done, METH_NOARGS, "caller_done() -> bool"},
    {"native_cloud_create", py_native_cloud_create, METH_VARARGS,
     "native_cloud_create(enter_room=False) -> handle"},
    {"native_cloud_pointer", py_native_cloud_pointer, METH_O, "VORACloud* of a handle"},
    {"native_cloud_calls", py_native_cloud_calls, METH_O, "callbacks its delegate received"},
    {"native_cloud_destroy", py_native_cloud_destroy, METH_O, "destroys the instance"},
    {"native_room_scale", py_native_room_scale, METH_VARARGS,
     "native_room_scale(parties, ticks, room) -> dict"},
    {"native_receiver_start", py_native_receiver_start, METH_VARARGS,
     "native_receiver_start(room)"},
    {"native_receiver_last", py_native_receiver_last, METH_NOARGS,
     "native_receiver_last() -> (count, steady-clock ns of the last frame)"},
    {"native_receiver_stop", py_native_receiver_stop, METH_NOARGS, "native_receiver_stop()"},
    {"native_latency", py_native_latency, METH_VARARGS,
     "native_latency(count, room) -> list of ns (None: lost)"},
    {"native_op_seconds", py_native_op_seconds, METH_VARARGS,
     "native_op_seconds(handle, op, iterations) -> (seconds per call, failures)"},
    {nullptr, nullptr, 0, nullptr}};

PyModuleDef kModule = {PyModuleDef_HEAD_INIT,
                       "_corvel_bench",
                       "corvel benchmark baselines",
                       -1,
                       kModuleMethods,
                       nullptr,
                       nullptr,
                       nullptr,
                       nullptr};

}  // namespace

// No-ops with the signatures of engine operations (the object pointer
// first), for ctypes: the cost of the ctypes call itself.
extern "C" {
__attribute__((visibility("default"))) int corvel_bench_noop_send_audio(void*, const void*) {
  return 0;
}
__attribute__((visibility("default"))) bool corvel_bench_noop_send_cmd(void*, uint32_t, const char*,
                                                                       size_t, bool, bool) {
  return true;
}
__attribute__((visibility("default"))) int corvel_bench_noop_subscribe(void*, const char*, int) {
  return 0;
}
}

// Fills a zero-filled static type object and readies it.
bool MakeType(PyTypeObject& type, const char* name, Py_ssize_t size, destructor dealloc,
              PyMethodDef* methods, PyGetSetDef* getset, newfunc make) {
  Py_SET_REFCNT(reinterpret_cast<PyObject*>(&type), 1);
  type.tp_name = name;
  type.tp_basicsize = size;
  type.tp_flags = Py_TPFLAGS_DEFAULT;
  type.tp_dealloc = dealloc;
  type.tp_methods = methods;
  type.tp_getset = getset;
  type.tp_new = make;
  return PyType_Ready(&type) == 0;
}

PyMODINIT_FUNC PyInit__corvel_bench(void) {
  if (!MakeType(NoopType, "_corvel_bench.Noop", sizeof(NoopObject), nullptr, kNoopMethods,
                kNoopGetSet, PyType_GenericNew) ||
      !MakeType(NativeFrameType, "_corvel_bench.NativeFrame", sizeof(NativeFrameObject),
                NativeFrame_dealloc, nullptr, kNativeFrameGetSet, nullptr) ||
      !MakeType(NativeRecordType, "_corvel_bench.NativeRecord", sizeof(NativeRecordObject),
                NativeRecord_dealloc, nullptr, nullptr, nullptr))
    return nullptr;
  PyObject* m = PyModule_Create(&kModule);
  if (m == nullptr) return nullptr;
  if (PyModule_AddObjectRef(m, "Noop", reinterpret_cast<PyObject*>(&NoopType)) < 0 ||
      PyModule_AddObjectRef(m, "NativeFrame", reinterpret_cast<PyObject*>(&NativeFrameType)) < 0 ||
      PyModule_AddObjectRef(m, "NativeRecord", reinterpret_cast<PyObject*>(&NativeRecordType)) <
          0) {
    Py_DECREF(m);
    return nullptr;
  }
  return m;
}
