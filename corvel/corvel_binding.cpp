// _corvel: the Python face of the corvel engine.
//
// The module is deliberately thin: every bound function converts its
// arguments, makes one engine call and converts the result back. Behaviour
// lives in the engine (libcorvel.so); what lives here is argument conversion,
// the callback trampoline and the ownership of engine instances.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <atomic>
#include <cstring>
#include <iostream>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include <unistd.h>

#include "corvel_premier.h"
#include "vora/corvel_vora_cloud.h"
#include "vora/corvel_vora_defines.h"

namespace py = pybind11;
using namespace corvel::vora;

namespace {

// True while the interpreter is shutting down. Engine threads must not try to
// take the interpreter lock then: a thread that does is never let go again.
bool InterpreterFinalizing() { return _Py_IsFinalizing() != 0; }

// The text of a VoraString for str() and repr(); a value without text has no
// such form.
const char* CheckedText(const VoraString& value) {
  const char* text = value.GetValue();
  if (text == nullptr) throw std::logic_error("basic_string: construction from null is not valid");
  return text;
}

// A Python caller hands the base message callbacks a text and a length; the
// text's bytes and its terminating NUL are all there is to read.
void CheckSuppliedLength(const char* message, size_t length) {
  const size_t supplied = message ? std::strlen(message) + 1 : 0;
  if (length > supplied) {
    throw py::value_error("length " + std::to_string(length) + " exceeds the " +
                          std::to_string(supplied) + " bytes supplied");
  }
}

// ---- Python thread states of engine threads ----
//
// pybind11's gil_scoped_acquire gives a thread that has no Python thread state
// a new one and deletes it again when it lets the lock go. On an engine thread
// that is one thread state per callback, and in CPython 3.12 creating one
// also maps (and deleting it unmaps) the thread's frame stack: that costs many
// times what the callback itself does. So the first callback on an engine
// thread keeps the thread state it makes, by holding one count of pybind11's
// own reference count on it (gil_scoped_acquire::inc_ref), until the thread
// ends. Every callback still takes the lock with gil_scoped_acquire.
//
// An ending thread must not take the lock to delete its thread state: whoever
// joins it while holding the lock (an engine that ends a callback thread
// inside an operation called from Python) would wait for it forever, and once
// the interpreter finalizes, CPython 3.12 ends a thread that takes the lock
// from under its thread-exit destructor, which aborts the process. So the
// ending thread only hands its thread state over; the next thread that holds
// the lock anyway (the caller of Destroy once it returns, a method call, the
// next callback, the exit hook) deletes it.
//
// Compile with -DCORVEL_PER_CALLBACK_THREAD_STATE for one thread state per
// callback instead (the benchmarks compare both: bench/run.py --variant).
#ifndef CORVEL_PER_CALLBACK_THREAD_STATE
class RetiredThreadStates {
 public:
  // Whether an engine thread may keep a thread state now.
  static bool Open() {
    std::lock_guard<std::mutex> lock(Mutex());
    return !Closed();
  }

  // From a thread that is ending; never waits for the interpreter lock.
  static void HandOver(PyThreadState* state) {
    std::lock_guard<std::mutex> lock(Mutex());
    // Once closed, the interpreter deletes it as it finalizes.
    if (Closed()) return;
    if (Pending().empty()) Pid() = getpid();
    Pending().push_back(state);
    Waiting().store(true, std::memory_order_release);
  }

  // With the interpreter lock held: deletes the thread states handed over.
  static void Delete() {
    if (!Waiting().load(std::memory_order_acquire)) return;
    std::vector<PyThreadState*> states;
    {
      std::lock_guard<std::mutex> lock(Mutex());
      if (Closed()) return;
      states.swap(Pending());
      Waiting().store(false, std::memory_order_relaxed);
      // In a child process after fork the interpreter has deleted the thread
      // states of the parent's other threads itself.
      if (Pid() != getpid()) return;
    }
    for (PyThreadState* state : states) {
      PyThreadState_Clear(state);
      // Deleting a thread state that was bound to its thread for the
      // PyGILState API unbinds the *calling* thread's PyGILState state in
      // CPython 3.12, which would leave this thread unknown to PyGILState.
      // Its thread is gone: there is nothing to unbind.
      state->_status.bound_gilstate = 0;
      PyThreadState_Delete(state);
    }
  }

  // From the exit hook, with the lock held, once the engines have ended:
  // deletes what was handed over; thread states of engine threads that end
  // later are left to the interpreter, which deletes them all as it
  // finalizes.
  static void Close() {
    Delete();
    std::lock_guard<std::mutex> lock(Mutex());
    Closed() = true;
  }

 private:
  // Never destroyed: engine threads may end after static destructors ran.
  static std::mutex& Mutex() {
    static std::mutex* const mutex = new std::mutex;
    return *mutex;
  }
  static std::vector<PyThreadState*>& Pending() {  // under Mutex()
    static std::vector<PyThreadState*>* const pending = new std::vector<PyThreadState*>;
    return *pending;
  }
  static std::atomic<bool>& Waiting() {  // whether Pending() may hold any
    static std::atomic<bool> waiting{false};
    return waiting;
  }
  static bool& Closed() {  // under Mutex()
    static bool closed = false;
    return closed;
  }
  static pid_t& Pid() {  // under Mutex(): the process Pending() was filled in
    static pid_t pid = 0;
    return pid;
  }
};

class EngineThreadState {
 public:
  // Called without the lock, before the callback takes it.
  static void Keep() {
    thread_local EngineThreadState state;  // made on this thread's first callback
    (void)state;
  }

 private:
  EngineThreadState() {
    // A thread Python already knows (a Python thread, or one whose thread
    // state someone else manages) is left alone.
    if (PyGILState_GetThisThreadState() != nullptr) return;
    if (InterpreterFinalizing() || !RetiredThreadStates::Open()) return;
    py::gil_scoped_acquire gil;
    gil.inc_ref();
    state_ = PyThreadState_Get();
  }
  ~EngineThreadState() {
    if (state_ != nullptr) RetiredThreadStates::HandOver(state_);
  }

  PyThreadState* state_ = nullptr;
};
#endif

// Any thread holding the lock for a method call deletes the thread states of
// engine threads that ended since (one atomic load when there are none).
inline void DeleteRetiredThreadStates() {
#ifndef CORVEL_PER_CALLBACK_THREAD_STATE
  RetiredThreadStates::Delete();
#endif
}

// Holds the interpreter lock for one callback. With a kept thread state, the
// callback still sees what a new thread state would give it: it runs in a new
// empty contextvars context, and the per-thread data it leaves behind (the
// thread's dict, where threading.local values live, a trace or profile
// function, async generator hooks) is dropped when it returns, as deleting
// its thread state would drop it.
class CallbackLock {
 public:
  CallbackLock() {
#ifndef CORVEL_PER_CALLBACK_THREAD_STATE
    context_ = PyContext_New();
    if (context_ != nullptr && PyContext_Enter(context_) != 0) {
      PyErr_Clear();
      Py_CLEAR(context_);
    }
#endif
  }
  ~CallbackLock() {
#ifndef CORVEL_PER_CALLBACK_THREAD_STATE
    if (context_ != nullptr) {
      if (PyContext_Exit(context_) != 0) PyErr_WriteUnraisable(nullptr);
      Py_DECREF(context_);
    }
    PyThreadState* state = PyThreadState_Get();
    if (state->dict != nullptr && PyDict_GET_SIZE(state->dict) != 0) PyDict_Clear(state->dict);
    if (state->c_tracefunc != nullptr) PyEval_SetTrace(nullptr, nullptr);
    if (state->c_profilefunc != nullptr) PyEval_SetProfile(nullptr, nullptr);
    Py_CLEAR(state->async_gen_firstiter);
    Py_CLEAR(state->async_gen_finalizer);
    RetiredThreadStates::Delete();  // of engine threads that ended meanwhile
#endif
  }
  CallbackLock(const CallbackLock&) = delete;
  CallbackLock& operator=(const CallbackLock&) = delete;

 private:
  struct KeepThreadState {
    KeepThreadState() {
#ifndef CORVEL_PER_CALLBACK_THREAD_STATE
      EngineThreadState::Keep();
#endif
    }
  };
  KeepThreadState keep_;  // before gil_: the thread state must be kept first
  py::gil_scoped_acquire gil_;
  PyObject* context_ = nullptr;
};

// A new Python object of T's bound class holding a copy of `value`: exactly
// what py::cast(value, return_value_policy::copy) makes, but with the class's
// binding record looked up once rather than on every call (that lookup hashes
// the C++ type's name, a sizeable part of the cost for a small record).
template <typename T>
py::object CopyToPython(const T& value) {
  static const py::detail::type_info* const type = py::detail::get_type_info(typeid(T));
  return py::reinterpret_steal<py::object>(py::detail::type_caster_generic::cast(
      &value, py::return_value_policy::copy, py::handle(), type,
      [](const void* from) -> void* { return new T(*static_cast<const T*>(from)); },
      [](const void* from) -> void* {
        return new T(std::move(*const_cast<T*>(static_cast<const T*>(from))));
      }));
}

}  // namespace

// Carries engine callbacks into Python methods of the delegate's Python
// object. Holds no state: each callback takes the interpreter lock, looks up
// the override and calls it.
class PyVORACloudDelegate : public VORACloudDelegate {
 public:
  PyVORACloudDelegate() = default;
  ~PyVORACloudDelegate() override {}

// A callback the Python class must define: without a method it raises the
// pure-virtual error. Callbacks arriving while the interpreter finalizes are
// dropped.
#define CORVEL_REQUIRED(py_name, native_name, ...)                                 \
  if (InterpreterFinalizing()) return;                                             \
  CallbackLock callback_lock;                                                      \
  PYBIND11_OVERRIDE_PURE_NAME(void, VORACloudDelegate, py_name, native_name, __VA_ARGS__)

  void OnError(Error error) override { CORVEL_REQUIRED("OnError", OnError, error); }
  void OnConnectionStateChanged(ConnectionState old_state, ConnectionState new_state) override {
    CORVEL_REQUIRED("OnConnectionStateChanged", OnConnectionStateChanged, old_state, new_state);
  }
  void OnEnterRoom() override { CORVEL_REQUIRED("OnEnterRoom", OnEnterRoom, ); }
  void OnExitRoom() override { CORVEL_REQUIRED("OnExitRoom", OnExitRoom, ); }
  void OnLocalAudioChannelCreated() override {
    CORVEL_REQUIRED("OnLocalAudioChannelCreated", OnLocalAudioChannelCreated, );
  }
  void OnLocalAudioChannelDestroyed() override {
    CORVEL_REQUIRED("OnLocalAudioChannelDestroyed", OnLocalAudioChannelDestroyed, );
  }
  void OnLocalVideoChannelCreated(StreamType stream_type) override {
    CORVEL_REQUIRED("OnLocalVideoChannelCreated", OnLocalVideoChannelCreated, stream_type);
  }
  void OnLocalVideoChannelDestroyed(StreamType stream_type) override {
    CORVEL_REQUIRED("OnLocalVideoChannelDestroyed", OnLocalVideoChannelDestroyed, stream_type);
  }
  void OnRequestChangeVideoEncodeBitrate(StreamType stream_type, int bitrate_bps) override {
    CORVEL_REQUIRED("OnRequestChangeVideoEncodeBitrate", OnRequestChangeVideoEncodeBitrate,
                    stream_type, bitrate_bps);
  }
  void OnRequestKeyFrame(StreamType stream_type) override {
    CORVEL_REQUIRED("OnRequestKeyFrame", OnRequestKeyFrame, stream_type);
  }
  void OnRemoteUserEnterRoom(const UserInfo& info) override {
    CORVEL_REQUIRED("OnRemoteUserEnterRoom", OnRemoteUserEnterRoom, info);
  }
  void OnRemoteUserExitRoom(const UserInfo& info, int reason) override {
    CORVEL_REQUIRED("OnRemoteUserExitRoom", OnRemoteUserExitRoom, info, reason);
  }
  void OnRemoteAudioAvailable(const char* user_id, bool available) override {
    CORVEL_REQUIRED("OnRemoteAudioAvailable", OnRemoteAudioAvailable, user_id, available);
  }
  void OnRemoteVideoAvailable(const char* user_id, bool available, StreamType type) override {
    CORVEL_REQUIRED("OnRemoteVideoAvailable", OnRemoteVideoAvailable, user_id, available, type);
  }
  void OnRemoteVideoReceived(const char* user_id, StreamType type,
                             const VideoFrame& frame) override {
    CORVEL_REQUIRED("OnRemoteVideoFrameReceived", OnRemoteVideoReceived, user_id, type, frame);
  }
  void OnRemoteVideoReceived(const char* user_id, StreamType type,
                             const PixelFrame& frame) override {
    CORVEL_REQUIRED("OnRemotePixelFrameReceived", OnRemoteVideoReceived, user_id, type, frame);
  }
  void OnRemoteAudioReceived(const char* user_id, const AudioFrame& frame) override {
    CORVEL_REQUIRED("OnRemoteAudioReceived", OnRemoteAudioReceived, user_id, frame);
  }
  void OnRemoteMixedAudioReceived(const AudioFrame& frame) override {
    CORVEL_REQUIRED("OnRemoteMixedAudioReceived", OnRemoteMixedAudioReceived, frame);
  }
#undef CORVEL_REQUIRED

  // Guarded: a missing method does nothing, and a Python error is printed and
  // swallowed here, so the engine never sees it.
  void OnSeiMessageReceived(const char* user_id, StreamType stream_type, int message_type,
                            const char* message, size_t length) override {
    if (InterpreterFinalizing()) return;
    CallbackLock gil;
    try {
      py::function override = py::get_override(static_cast<const VORACloudDelegate*>(this),
                                                "OnSeiMessageReceived");
      if (!override) return;
      py::bytes payload(message, length);
      override(user_id, stream_type, message_type, payload);
    } catch (py::error_already_set& e) {
      std::cerr << "python callback OnSeiMessageReceived error: " << e.what() << std::endl;
      PyErr_Clear();
    } catch (...) {
      std::cerr << "unknown error" << std::endl;
    }
  }

  void OnReceiveCustomCmdMsg(const char* user_id, int32_t cmd_id, uint32_t seq,
                             const char* message, size_t length) override {
    if (InterpreterFinalizing()) return;
    CallbackLock gil;
    try {
      py::function override = py::get_override(static_cast<const VORACloudDelegate*>(this),
                                                "OnReceiveCustomCmdMsg");
      if (!override) return;
      py::bytes payload(message, length);
      override(user_id, cmd_id, seq, payload);
    } catch (py::error_already_set& e) {
      std::cerr << "python callback OnReceiveCustomCmdMsg error: " << e.what() << std::endl;
      PyErr_Clear();
    } catch (...) {
      std::cerr << "unknown error" << std::endl;
    }
  }

  // Optional: without a Python method the interface's own (empty) body runs.
  void OnMissCustomCmdMsg(const char* user_id, int32_t cmd_id, uint32_t error_code,
                          uint32_t missed) override {
    if (InterpreterFinalizing()) return;
    CallbackLock callback_lock;
    PYBIND11_OVERRIDE_NAME(void, VORACloudDelegate, "OnMissCustomCmdMsg", OnMissCustomCmdMsg,
                           user_id, cmd_id, error_code, missed);
  }

  void OnNetworkQuality(NetworkQualityInfo* local_quality, NetworkQualityInfo* remote_qualities,
                        size_t remote_quality_count) override {
    if (InterpreterFinalizing()) return;
    CallbackLock gil;
    try {
      py::function override =
          py::get_override(static_cast<const VORACloudDelegate*>(this), "OnNetworkQuality");
      if (!override) return;
      py::object local = local_quality
                             ? CopyToPython(*local_quality)
                             : py::cast(NetworkQualityInfo(), py::return_value_policy::move);
      py::list remotes;
      for (size_t i = 0; i < remote_quality_count; ++i) {
        remotes.append(CopyToPython(remote_qualities[i]));
      }
      override(local, remotes);
    } catch (py::error_already_set& e) {
      std::cerr << "python callback OnNetworkQuality error: " << e.what() << std::endl;
      PyErr_Clear();
    } catch (...) {
      std::cerr << "unknown error" << std::endl;
    }
  }
};

// Owns one engine instance and a share of the delegate it reports to.
class VORACloudWrapper {
 public:
  explicit VORACloudWrapper(std::shared_ptr<PyVORACloudDelegate> delegate)
      : vora_cloud_(nullptr), delegate_(std::move(delegate)) {
    // The engine calls its delegate from its first callback on; it has no
    // way to survive a null one.
    if (!delegate_) throw py::type_error("VORACloud(): the delegate must not be None");
    // Once the exit hook has ended the engines, nothing would end a new one
    // before the interpreter stops accepting threads.
    if (EnginesEnded()) throw std::runtime_error("VORACloud(): the interpreter is exiting");
    vora_cloud_ = VORACloud::Create(delegate_.get());
    LiveClouds().insert(this);
  }

  ~VORACloudWrapper() {
    LiveClouds().erase(this);
    EndEngine();
  }

  VORACloudWrapper(const VORACloudWrapper&) = delete;
  VORACloudWrapper& operator=(const VORACloudWrapper&) = delete;
  VORACloudWrapper(VORACloudWrapper&&) = delete;
  VORACloudWrapper& operator=(VORACloudWrapper&&) = delete;

  int EnterRoom(const EnterRoomParams& params) {
    return vora_cloud_ ? vora_cloud_->EnterRoom(params) : ERR_INVALID_OPERATION;
  }
  int ExitRoom() { return vora_cloud_ ? vora_cloud_->ExitRoom() : ERR_INVALID_OPERATION; }
  int Subscribe(const std::string& user_id, StreamType type) {
    return vora_cloud_ ? vora_cloud_->Subscribe(user_id.c_str(), type) : ERR_INVALID_OPERATION;
  }
  int Unsubscribe(const std::string& user_id, StreamType type) {
    return vora_cloud_ ? vora_cloud_->Unsubscribe(user_id.c_str(), type) : ERR_INVALID_OPERATION;
  }
  int GetAudioFrame(AudioFrame* frame) {
    if (frame == nullptr) throw py::type_error("GetAudioFrame(): frame must not be None");
    return vora_cloud_ ? vora_cloud_->GetAudioFrame(frame) : ERR_INVALID_OPERATION;
  }
  int CreateLocalAudioChannel(const AudioEncodeParams& params) {
    return vora_cloud_ ? vora_cloud_->CreateLocalAudioChannel(params) : ERR_INVALID_OPERATION;
  }
  int DestroyLocalAudioChannel() {
    return vora_cloud_ ? vora_cloud_->DestroyLocalAudioChannel() : ERR_INVALID_OPERATION;
  }
  int SendAudioFrame(const AudioFrame& frame) {
    return vora_cloud_ ? vora_cloud_->SendAudioFrame(frame) : ERR_INVALID_OPERATION;
  }
  int SendContinuousAudioFrame(const AudioFrame& frame, bool clear_send_queue) {
    return vora_cloud_ ? vora_cloud_->SendContinuousAudioFrame(frame, clear_send_queue)
                       : ERR_INVALID_OPERATION;
  }
  int CreateLocalVideoChannel(StreamType type) {
    return vora_cloud_ ? vora_cloud_->CreateLocalVideoChannel(type) : ERR_INVALID_OPERATION;
  }
  int DestroyLocalVideoChannel(StreamType type) {
    return vora_cloud_ ? vora_cloud_->DestroyLocalVideoChannel(type) : ERR_INVALID_OPERATION;
  }
  int SendVideoFrame(StreamType type, const VideoFrame& frame) {
    return vora_cloud_ ? vora_cloud_->SendVideoFrame(type, frame) : ERR_INVALID_OPERATION;
  }
  int SendPixelFrame(StreamType type, const PixelFrame& frame) {
    return vora_cloud_ ? vora_cloud_->SendVideoFrame(type, frame) : ERR_INVALID_OPERATION;
  }
  void SetVideoEncodeParam(StreamType type, const VideoEncodeParams& param) {
    if (vora_cloud_) vora_cloud_->SetVideoEncodeParam(type, param);
  }
  int SendSeiMessage(int message_type, const py::bytes& message) {
    auto [data, length] = BytesView(message);
    return vora_cloud_ ? vora_cloud_->SendSeiMessage(message_type, data, length)
                       : ERR_INVALID_OPERATION;
  }
  int SendCustomCmdMsg(int32_t cmd_id, const py::bytes& message, bool reliable, bool ordered) {
    auto [data, length] = BytesView(message);
    if (!vora_cloud_) return 0;
    // The engine's command id is unsigned; the signed value passes bit for bit.
    return vora_cloud_->SendCustomCmdMsg(static_cast<uint32_t>(cmd_id), data, length, reliable,
                                         ordered)
               ? 1
               : 0;
  }
  void EnableVoiceActivityDetection(const VADParams& params) {
    if (vora_cloud_) vora_cloud_->EnableVoiceActivityDetection(params);
  }

  // Ends every engine instance still alive. Runs from the interpreter's exit
  // hooks, before the interpreter stops accepting threads: an engine left
  // running would call into an interpreter that is being torn down.
  static void EndAllEngines() {
    EnginesEnded() = true;
    // While one engine ends, the lock is free and callbacks may drop other
    // clouds, so the set is looked at afresh for each one.
    for (;;) {
      VORACloudWrapper* next = nullptr;
      for (VORACloudWrapper* wrapper : LiveClouds()) {
        if (wrapper->vora_cloud_ != nullptr) {
          next = wrapper;
          break;
        }
      }
      if (next != nullptr) {
        next->EndEngine();  // touches `next` only before it lets the lock go
        continue;
      }
      if (EndingNow() == 0) break;
      py::gil_scoped_release release;
      std::this_thread::yield();
    }
#ifndef CORVEL_PER_CALLBACK_THREAD_STATE
    RetiredThreadStates::Close();
#endif
  }

 private:
  static std::pair<const char*, size_t> BytesView(const py::bytes& message) {
    char* data = nullptr;
    Py_ssize_t length = 0;
    if (PyBytes_AsStringAndSize(message.ptr(), &data, &length) != 0) throw py::error_already_set();
    return {data, static_cast<size_t>(length)};
  }

  // Destroy waits for callbacks in flight, which need the interpreter lock,
  // so it runs with the lock released. The pointer is cleared first: a
  // callback that runs meanwhile and calls into this object finds no engine.
  void EndEngine() {
    VORACloud* cloud = vora_cloud_;
    vora_cloud_ = nullptr;
    if (cloud == nullptr) return;
    // The delegate, native and Python sides, outlives the engine even when
    // this wrapper goes meanwhile (a callback dropping the last reference to
    // its cloud while the exit hook ends that cloud's engine).
    std::shared_ptr<PyVORACloudDelegate> delegate = delegate_;
    py::object delegate_object = py::cast(static_cast<VORACloudDelegate*>(delegate.get()),
                                          py::return_value_policy::reference);
    ++EndingNow();
    {
      py::gil_scoped_release release;
      VORACloud::Destroy(cloud);
    }
    DeleteRetiredThreadStates();  // those of the instance's ended threads
    --EndingNow();  // with the lock held again
  }

  // Engines being ended with the lock released, on any thread. The exit hook
  // waits for them: a thread that takes the lock back once finalization has
  // begun is ended by the interpreter from inside a destructor.
  static int& EndingNow() {
    static int ending = 0;
    return ending;
  }
  static bool& EnginesEnded() {
    static bool ended = false;
    return ended;
  }

  // Wrappers with an engine that may still be running; touched only with the
  // interpreter lock held.
  static std::unordered_set<VORACloudWrapper*>& LiveClouds() {
    static std::unordered_set<VORACloudWrapper*> live;
    return live;
  }

  VORACloud* vora_cloud_;
  std::shared_ptr<PyVORACloudDelegate> delegate_;
};

// Payload transfer between frames and Python bytes. The module copies once on
// the way out (into the new bytes object) and never on the way in: the
// engine's setter copies from the bytes object's own buffer.
template <typename Frame>
void SetFrameDataImpl(Frame& frame, const py::bytes& data,
                      void (Frame::*setter)(const uint8_t*, size_t)) {
  char* buffer = nullptr;
  Py_ssize_t length = 0;
  if (PyBytes_AsStringAndSize(data.ptr(), &buffer, &length) != 0) throw py::error_already_set();
  (frame.*setter)(reinterpret_cast<const uint8_t*>(buffer), static_cast<size_t>(length));
}

template <typename Frame, void (Frame::*Setter)(const uint8_t*, size_t)>
void SetFrameData(Frame& frame, const py::bytes& data) {
  SetFrameDataImpl(frame, data, Setter);
}

template <typename Frame>
py::bytes GetFrameData(const Frame& frame) {
  const size_t size = frame.size();
  if (size == 0) return py::bytes();
  const uint8_t* data = frame.data();
  // A payload without storage reads as empty rather than through null.
  if (data == nullptr) return py::bytes();
  return py::bytes(reinterpret_cast<const char*>(data), size);
}

template <typename Frame>
size_t GetFrameSize(const Frame& frame) {
  return frame.size();
}

// Methods take their object through Self<C>: an object made with
// cls.__new__(cls) whose __init__ never ran holds no native object, and a
// member function called on it would run on raw storage. Such calls are
// refused with TypeError. Self<C> renders in signatures as C does.
template <typename C>
struct Self {
  C* object;
};

template <typename C, typename R, typename... A>
auto Method(R (C::*method)(A...)) {
  return [method](Self<C> self, A... args) -> R {
    DeleteRetiredThreadStates();
    return (self.object->*method)(std::forward<A>(args)...);
  };
}

template <typename C, typename R, typename... A>
auto Method(R (C::*method)(A...) const) {
  return [method](Self<C> self, A... args) -> R {
    DeleteRetiredThreadStates();
    return (self.object->*method)(std::forward<A>(args)...);
  };
}

namespace pybind11::detail {
template <typename C>
struct type_caster<Self<C>> {
  PYBIND11_TYPE_CASTER(Self<C>, make_caster<C>::name);
  bool load(handle src, bool) {
    const type_info* info = get_type_info(typeid(C));
    if (info == nullptr || !isinstance(src, reinterpret_cast<PyObject*>(info->type))) {
      return false;
    }
    auto* inst = reinterpret_cast<instance*>(src.ptr());
    value_and_holder v_h = inst->get_value_and_holder(info, true);
    // Views into a record field own nothing and have no holder; an owning
    // object without a holder was never initialised.
    if (v_h.value_ptr() == nullptr || (inst->owned && !v_h.holder_constructed())) {
      throw type_error("the object was never initialised: its __init__ did not run");
    }
    value.object = v_h.template value_ptr<C>();
    return true;
  }
  static handle cast(Self<C>, return_value_policy, handle) { return none().release(); }
};
}  // namespace pybind11::detail

namespace {

// Enumeration fields read as independent values, not as views into the
// record: a value read earlier must not follow later assignments.
template <typename Class, typename Enum>
void def_enum_field(py::class_<Class>& cls, const char* name, Enum Class::*field) {
  cls.def_property(
      name, [field](const Class& self) { return self.*field; },
      [field](Class& self, const Enum& value) { self.*field = value; });
}

// The binding library's common base class throws from its allocator when it
// is asked for an instance of a class it never registered (the base class
// itself, as the oldest pickle protocols do); an exception thrown there would
// end the process. Report it as a TypeError instead.
PyObject* GuardedObjectNew(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  try {
    return py::detail::pybind11_object_new(type, args, kwargs);
  } catch (const std::exception& error) {
    PyErr_SetString(PyExc_TypeError, error.what());
    return nullptr;
  }
}

void GuardInstanceAllocation() {
  // Classes made from here on inherit the allocator of the base.
  auto* base = reinterpret_cast<PyTypeObject*>(py::detail::get_internals().instance_base);
  if (base->tp_new != &GuardedObjectNew) {
    base->tp_new = &GuardedObjectNew;
    PyType_Modified(base);
  }
}

// A cloud keeps its delegate alive through keep_alive, a reference the
// binding library holds outside the cloud object where the garbage collector
// does not look. A delegate that holds its own cloud (the usual shape of an
// application object) would then never be collected, and its engine would
// run until exit. Showing the collector that reference makes such a pair
// collectable: clearing the delegate drops the cloud, which ends its engine
// and lets the delegate go.
int VisitKeptAlive(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  if (!reinterpret_cast<py::detail::instance*>(self)->has_patients) return 0;
  int result = 0;
  py::detail::with_internals([&](py::detail::internals& internals) {
    auto found = internals.patients.find(self);
    if (found == internals.patients.end()) return;
    for (PyObject* patient : found->second) {
      if ((result = visit(patient, arg)) != 0) return;
    }
  });
  return result;
}

}  // namespace

PYBIND11_MODULE(_corvel, m, py::multiple_interpreters::not_supported()) {
  m.doc() = "VORA Corvel Python API (bind with C++ API by pybind11)";
  GuardInstanceAllocation();  // before any class exists, so that all inherit it

  py::class_<VORACloudWrapper>(m, "VORACloud", py::custom_type_setup([](PyHeapTypeObject* heap) {
                                 heap->ht_type.tp_flags |= Py_TPFLAGS_HAVE_GC;
                                 heap->ht_type.tp_traverse = &VisitKeptAlive;
                               }))
      .def(py::init<std::shared_ptr<PyVORACloudDelegate>>(), py::keep_alive<1, 2>())
      .def("EnterRoom", Method(&VORACloudWrapper::EnterRoom), py::arg("params"))
      .def("ExitRoom", Method(&VORACloudWrapper::ExitRoom))
      .def("Subscribe", Method(&VORACloudWrapper::Subscribe), py::arg("user_id"), py::arg("type"))
      .def("Unsubscribe", Method(&VORACloudWrapper::Unsubscribe), py::arg("user_id"), py::arg("type"))
      .def("GetAudioFrame", Method(&VORACloudWrapper::GetAudioFrame), py::arg("frame"))
      .def("CreateLocalAudioChannel", Method(&VORACloudWrapper::CreateLocalAudioChannel),
           py::arg("params"))
      .def("DestroyLocalAudioChannel", Method(&VORACloudWrapper::DestroyLocalAudioChannel))
      .def("SendAudioFrame", Method(&VORACloudWrapper::SendAudioFrame), py::arg("frame"))
      .def("SendContinuousAudioFrame", Method(&VORACloudWrapper::SendContinuousAudioFrame),
           py::arg("frame"), py::arg("clear_send_queue"))
      .def("CreateLocalVideoChannel", Method(&VORACloudWrapper::CreateLocalVideoChannel), py::arg("type"))
      .def("DestroyLocalVideoChannel", Method(&VORACloudWrapper::DestroyLocalVideoChannel),
           py::arg("type"))
      .def("SendVideoFrame", Method(&VORACloudWrapper::SendVideoFrame), py::arg("type"), py::arg("frame"))
      .def("SendPixelFrame", Method(&VORACloudWrapper::SendPixelFrame), py::arg("type"), py::arg("frame"))
      .def("SetVideoEncodeParam", Method(&VORACloudWrapper::SetVideoEncodeParam), py::arg("type"),
           py::arg("param"))
      .def("SendSeiMessage", Method(&VORACloudWrapper::SendSeiMessage), py::arg("message_type"),
           py::arg("message"))
      .def("SendCustomCmdMsg", Method(&VORACloudWrapper::SendCustomCmdMsg), py::arg("cmd_id"),
           py::arg("message"), py::arg("reliable"), py::arg("ordered"))
      .def("EnableVoiceActivityDetection", Method(&VORACloudWrapper::EnableVoiceActivityDetection),
           py::arg("params"));

  py::class_<VORACloudDelegate, PyVORACloudDelegate, std::shared_ptr<VORACloudDelegate>>(
      m, "VORACloudDelegate")
      .def(py::init_alias<>())
      .def("OnError", Method(&VORACloudDelegate::OnError))
      .def("OnConnectionStateChanged", Method(&VORACloudDelegate::OnConnectionStateChanged))
      .def("OnEnterRoom", Method(&VORACloudDelegate::OnEnterRoom))
      .def("OnExitRoom", Method(&VORACloudDelegate::OnExitRoom))
      .def("OnLocalAudioChannelCreated", Method(&VORACloudDelegate::OnLocalAudioChannelCreated))
      .def("OnLocalAudioChannelDestroyed", Method(&VORACloudDelegate::OnLocalAudioChannelDestroyed))
      .def("OnLocalVideoChannelCreated", Method(&VORACloudDelegate::OnLocalVideoChannelCreated))
      .def("OnLocalVideoChannelDestroyed", Method(&VORACloudDelegate::OnLocalVideoChannelDestroyed))
      .def("OnRemoteUserEnterRoom", Method(&VORACloudDelegate::OnRemoteUserEnterRoom))
      .def("OnRemoteUserExitRoom", Method(&VORACloudDelegate::OnRemoteUserExitRoom))
      .def("OnRemoteAudioAvailable", Method(&VORACloudDelegate::OnRemoteAudioAvailable))
      .def("OnRemoteVideoAvailable", Method(&VORACloudDelegate::OnRemoteVideoAvailable))
      .def("OnRemoteAudioReceived", Method(&VORACloudDelegate::OnRemoteAudioReceived))
      .def("OnRemoteMixedAudioReceived", Method(&VORACloudDelegate::OnRemoteMixedAudioReceived))
      .def("OnRemoteVideoFrameReceived",
           Method(static_cast<void (VORACloudDelegate::*)(const char*, StreamType, const VideoFrame&)>(
               &VORACloudDelegate::OnRemoteVideoReceived)))
      .def("OnRemotePixelFrameReceived",
           Method(static_cast<void (VORACloudDelegate::*)(const char*, StreamType, const PixelFrame&)>(
               &VORACloudDelegate::OnRemoteVideoReceived)))
      .def("OnRequestKeyFrame", Method(&VORACloudDelegate::OnRequestKeyFrame))
      .def("OnRequestChangeVideoEncodeBitrate",
           Method(&VORACloudDelegate::OnRequestChangeVideoEncodeBitrate))
      // The three below take a pointer with a count or length from the
      // caller; a count or length past what the caller supplied is refused
      // rather than read.
      .def("OnSeiMessageReceived",
           [](Self<VORACloudDelegate> self, const char* user_id, StreamType stream_type,
              int message_type, const char* message, size_t length) {
             CheckSuppliedLength(message, length);
             self.object->OnSeiMessageReceived(user_id, stream_type, message_type, message, length);
           })
      .def("OnReceiveCustomCmdMsg",
           [](Self<VORACloudDelegate> self, const char* user_id, int32_t cmd_id, uint32_t seq,
              const char* message, size_t length) {
             CheckSuppliedLength(message, length);
             self.object->OnReceiveCustomCmdMsg(user_id, cmd_id, seq, message, length);
           })
      .def("OnMissCustomCmdMsg", Method(&VORACloudDelegate::OnMissCustomCmdMsg))
      .def("OnNetworkQuality",
           [](Self<VORACloudDelegate> self, NetworkQualityInfo* local_quality,
              NetworkQualityInfo* remote_qualities, size_t remote_quality_count) {
             const size_t supplied = remote_qualities ? 1 : 0;
             if (remote_quality_count > supplied) {
               throw py::value_error("OnNetworkQuality(): count " +
                                     std::to_string(remote_quality_count) + " exceeds the " +
                                     std::to_string(supplied) + " record(s) supplied");
             }
             self.object->OnNetworkQuality(local_quality, remote_qualities, remote_quality_count);
           });

  py::class_<VoraString>(m, "VoraString")
      .def(py::init<>())
      .def(py::init<const char*>())
      .def("GetValue", Method(&VoraString::GetValue))
      .def("SetValue", Method(&VoraString::SetValue))
      .def("__str__", [](const VoraString& self) { return std::string(CheckedText(self)); })
      .def("__repr__", [](const VoraString& self) {
        return "VoraString(" + std::string(CheckedText(self)) + ")";
      });

  py::class_<RoomParams>(m, "RoomParams")
      .def(py::init<>())
      .def_readwrite("room_id", &RoomParams::room_id)
      .def_readwrite("str_room_id", &RoomParams::str_room_id)
      .def_readwrite("user_id", &RoomParams::user_id)
      .def_readwrite("user_sig", &RoomParams::user_sig)
      .def_readwrite("sdk_app_id", &RoomParams::sdk_app_id);

  py::class_<EnterRoomParams> enter_room_params(m, "EnterRoomParams");
  enter_room_params.def(py::init<>()).def_readwrite("room", &EnterRoomParams::room);
  def_enum_field(enter_room_params, "scene", &EnterRoomParams::scene);
  def_enum_field(enter_room_params, "role", &EnterRoomParams::role);
  enter_room_params.def_readwrite("private_map_key", &EnterRoomParams::private_map_key)
      .def_readwrite("audio_obtain_params", &EnterRoomParams::audio_obtain_params)
      .def_readwrite("use_pixel_frame_input", &EnterRoomParams::use_pixel_frame_input)
      .def_readwrite("use_pixel_frame_output", &EnterRoomParams::use_pixel_frame_output);

  py::class_<AudioEncodeParams>(m, "AudioEncodeParams")
      .def(py::init<>())
      .def_readwrite("channels", &AudioEncodeParams::channels)
      .def_readwrite("sample_rate", &AudioEncodeParams::sample_rate)
      .def_readwrite("frame_length_ms", &AudioEncodeParams::frame_length_ms)
      .def_readwrite("bitrate_bps", &AudioEncodeParams::bitrate_bps)
      .def_readwrite("need_encode", &AudioEncodeParams::need_encode);

  py::class_<VideoEncodeParams>(m, "VideoEncodeParams")
      .def(py::init<>())
      .def_readwrite("frame_rate", &VideoEncodeParams::frame_rate)
      .def_readwrite("bitrate_bps", &VideoEncodeParams::bitrate_bps)
      .def_readwrite("gop_in_seconds", &VideoEncodeParams::gop_in_seconds);

  py::class_<NetworkQualityInfo> network_quality_info(m, "NetworkQualityInfo");
  network_quality_info.def(py::init<>()).def_readwrite("user_id", &NetworkQualityInfo::user_id);
  def_enum_field(network_quality_info, "quality", &NetworkQualityInfo::quality);

  py::class_<UserInfo>(m, "UserInfo").def(py::init<>()).def_readwrite("user_id",
                                                                      &UserInfo::user_id);

  py::class_<AudioObtainParams> audio_obtain_params(m, "AudioObtainParams");
  audio_obtain_params.def(py::init<>());
  def_enum_field(audio_obtain_params, "audio_obtain_method",
                 &AudioObtainParams::audio_obtain_method);
  audio_obtain_params
      .def_readwrite("enable_remote_audio_mix", &AudioObtainParams::enable_remote_audio_mix)
      .def_readwrite("output_sample_rate", &AudioObtainParams::output_sample_rate)
      .def_readwrite("output_channels", &AudioObtainParams::output_channels)
      .def_readwrite("output_frame_length_ms", &AudioObtainParams::output_frame_length_ms);
  def_enum_field(audio_obtain_params, "output_audio_codec_type",
                 &AudioObtainParams::output_audio_codec_type);

  py::class_<VADParams>(m, "VADParams").def(py::init<>()).def_readwrite("enable",
                                                                        &VADParams::enable);

  py::class_<AudioFrame> audio_frame(m, "AudioFrame");
  audio_frame.def(py::init<>())
      .def_readwrite("pts", &AudioFrame::pts)
      .def_readwrite("sample_rate", &AudioFrame::sample_rate)
      .def_readwrite("channels", &AudioFrame::channels)
      .def_readwrite("bits_per_sample", &AudioFrame::bits_per_sample);
  def_enum_field(audio_frame, "codec", &AudioFrame::codec);
  audio_frame.def_readwrite("has_voice", &AudioFrame::has_voice)
      .def_property_readonly("data", &GetFrameData<AudioFrame>)
      .def("SetData", &SetFrameData<AudioFrame, &AudioFrame::SetData>)
      .def_property_readonly("size", &GetFrameSize<AudioFrame>)
      .def("SetExtraData", &SetFrameData<AudioFrame, &AudioFrame::SetExtraData>);

  py::class_<VideoFrame> video_frame(m, "VideoFrame");
  video_frame.def(py::init<>())
      .def_readwrite("pts", &VideoFrame::pts)
      .def_readwrite("dts", &VideoFrame::dts);
  def_enum_field(video_frame, "codec", &VideoFrame::codec);
  video_frame.def_readwrite("is_key_frame", &VideoFrame::is_key_frame);
  def_enum_field(video_frame, "rotation", &VideoFrame::rotation);
  video_frame.def_property_readonly("data", &GetFrameData<VideoFrame>)
      .def("SetData", &SetFrameData<VideoFrame, &VideoFrame::SetData>)
      .def_property_readonly("size", &GetFrameSize<VideoFrame>);

  py::class_<PixelFrame> pixel_frame(m, "PixelFrame");
  pixel_frame.def(py::init<>()).def_readwrite("pts", &PixelFrame::pts);
  def_enum_field(pixel_frame, "format", &PixelFrame::format);
  pixel_frame.def_readwrite("height", &PixelFrame::height)
      .def_readwrite("width", &PixelFrame::width);
  def_enum_field(pixel_frame, "rotation", &PixelFrame::rotation);
  pixel_frame.def_property_readonly("data", &GetFrameData<PixelFrame>)
      .def("SetData", &SetFrameData<PixelFrame, &PixelFrame::SetData>)
      .def_property_readonly("size", &GetFrameSize<PixelFrame>);

  py::enum_<Error>(m, "Error")
      .value("ERR_OK", ERR_OK)
      .value("ERR_FAILED", ERR_FAILED)
      .value("ERR_INVALID_PARAMETER", ERR_INVALID_PARAMETER)
      .value("ERR_INVALID_OPERATION", ERR_INVALID_OPERATION)
      .value("ERR_NOT_SUPPORTED", ERR_NOT_SUPPORTED)
      .value("ERR_REQUEST_SERVER_TIMEOUT", ERR_REQUEST_SERVER_TIMEOUT)
      .value("ERR_SERVER_PROCESS_FAILED", ERR_SERVER_PROCESS_FAILED)
      .value("ERR_READ_TRY_AGAIN", ERR_READ_TRY_AGAIN)
      .value("ERR_NETWORK_UNREACHABLE", ERR_NETWORK_UNREACHABLE)
      .value("ERR_ENTER_ROOM_FAILED", ERR_ENTER_ROOM_FAILED)
      .value("ERR_INVALID_SDK_APP_ID", ERR_INVALID_SDK_APP_ID)
      .value("ERR_INVALID_ROOM_ID", ERR_INVALID_ROOM_ID)
      .value("ERR_INVALID_USER_ID", ERR_INVALID_USER_ID)
      .value("ERR_INVALID_USER_SIG", ERR_INVALID_USER_SIG)
      .value("ERR_SERVICE_SUSPENDED", ERR_SERVICE_SUSPENDED)
      .value("ERR_BANNED_BY_SERVER", ERR_BANNED_BY_SERVER)
      .export_values();

  py::enum_<VideoCodecType>(m, "VideoCodecType")
      .value("VIDEO_CODEC_TYPE_H264", VIDEO_CODEC_TYPE_H264)
      .value("VIDEO_CODEC_TYPE_H265", VIDEO_CODEC_TYPE_H265)
      .export_values();

  py::enum_<AudioCodecType>(m, "AudioCodecType")
      .value("AUDIO_CODEC_TYPE_PCM", AUDIO_CODEC_TYPE_PCM)
      .value("AUDIO_CODEC_TYPE_OPUS", AUDIO_CODEC_TYPE_OPUS)
      .value("AUDIO_CODEC_TYPE_AAC", AUDIO_CODEC_TYPE_AAC)
      .export_values();

  py::enum_<VORARole>(m, "VORARole")
      .value("VORA_ROLE_ANCHOR", VORA_ROLE_ANCHOR)
      .value("VORA_ROLE_AUDIENCE", VORA_ROLE_AUDIENCE)
      .export_values();

  py::enum_<VORAScene>(m, "VORAScene")
      .value("VORA_SCENE_VIDEO_CALL", VORA_SCENE_VIDEO_CALL)
      .value("VORA_SCENE_AUDIO_CALL", VORA_SCENE_AUDIO_CALL)
      .value("VORA_SCENE_LIVE", VORA_SCENE_LIVE)
      .value("VORA_SCENE_VOICE_CHAT", VORA_SCENE_VOICE_CHAT)
      .value("VORA_SCENE_RECORD", VORA_SCENE_RECORD)
      .export_values();

  py::enum_<StreamType>(m, "StreamType")
      .value("STREAM_TYPE_UNKNOWN", STREAM_TYPE_UNKNOWN)
      .value("STREAM_TYPE_VIDEO_HIGH", STREAM_TYPE_VIDEO_HIGH)
      .value("STREAM_TYPE_VIDEO_LOW", STREAM_TYPE_VIDEO_LOW)
      .value("STREAM_TYPE_VIDEO_AUX", STREAM_TYPE_VIDEO_AUX)
      .value("STREAM_TYPE_AUDIO", STREAM_TYPE_AUDIO)
      .export_values();

  py::enum_<AudioObtainMethod>(m, "AudioObtainMethod")
      .value("AUDIO_OBTAIN_METHOD_GET", AUDIO_OBTAIN_METHOD_GET)
      .value("AUDIO_OBTAIN_METHOD_CALLBACK", AUDIO_OBTAIN_METHOD_CALLBACK)
      .export_values();

  py::enum_<NetworkQuality>(m, "NetworkQuality")
      .value("NETWORK_QUALITY_UNKNOWN", NETWORK_QUALITY_UNKNOWN)
      .value("NETWORK_QUALITY_EXCELLENT", NETWORK_QUALITY_EXCELLENT)
      .value("NETWORK_QUALITY_GOOD", NETWORK_QUALITY_GOOD)
      .value("NETWORK_QUALITY_POOR", NETWORK_QUALITY_POOR)
      .value("NETWORK_QUALITY_BAD", NETWORK_QUALITY_BAD)
      .value("NETWORK_QUALITY_VERY_BAD", NETWORK_QUALITY_VERY_BAD)
      .value("NETWORK_QUALITY_DOWN", NETWORK_QUALITY_DOWN)
      .export_values();

  py::enum_<ConnectionState>(m, "ConnectionState")
      .value("CONNECTION_STATE_INIT", CONNECTION_STATE_INIT)
      .value("CONNECTION_STATE_DISCONNECTED", CONNECTION_STATE_DISCONNECTED)
      .value("CONNECTION_STATE_CONNECTING", CONNECTION_STATE_CONNECTING)
      .value("CONNECTION_STATE_CONNECTED", CONNECTION_STATE_CONNECTED)
      .export_values();

  py::enum_<VideoRotation>(m, "VideoRotation")
      .value("VIDEO_ROTATION_0", VIDEO_ROTATION_0)
      .value("VIDEO_ROTATION_90", VIDEO_ROTATION_90)
      .value("VIDEO_ROTATION_180", VIDEO_ROTATION_180)
      .value("VIDEO_ROTATION_270", VIDEO_ROTATION_270)
      .export_values();

  py::enum_<VideoPixelFormat>(m, "VideoPixelFormat")
      .value("VIDEO_PIXEL_FORMAT_YUV420p", VIDEO_PIXEL_FORMAT_YUV420p)
      .value("VIDEO_PIXEL_FORMAT_YUVA420p", VIDEO_PIXEL_FORMAT_YUVA420p)
      .value("VIDEO_PIXEL_FORMAT_RGBA", VIDEO_PIXEL_FORMAT_RGBA)
      .export_values();

  using corvel::live::OrbLiveSDK;
  m.def("SetLogPath", &OrbLiveSDK::SetLogPath, py::arg("path"));
  m.def("SetLogLevel", &OrbLiveSDK::SetLogLevel, py::arg("level"));
  m.def("EnableConsoleLog", &OrbLiveSDK::EnableConsoleLog);
  m.def("DisableConsoleLog", &OrbLiveSDK::DisableConsoleLog);
  m.def("DisableLogCompress", &OrbLiveSDK::DisableLogCompress, py::arg("disabled"));
  m.def("DisableLogFile", &OrbLiveSDK::DisableLogFile, py::arg("disabled"));
  m.def("SetSocks5Proxy", &OrbLiveSDK::SetSocks5Proxy, py::arg("ip"), py::arg("port"),
        py::arg("username"), py::arg("password"));
  m.def("SetEnvironment", &OrbLiveSDK::SetEnvironment, py::arg("env"));

  // End the engines before the interpreter shuts down (see EndAllEngines).
  py::module_::import("atexit").attr("register")(
      py::cpp_function(&VORACloudWrapper::EndAllEngines));
}
