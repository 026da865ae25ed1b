// _corvel: the Python face of the corvel engine.
//
// The module is deliberately thin: every bound function converts its
// arguments, makes one engine call and converts the result back. Behaviour
// lives in the engine (libcorvel.so); what lives here is argument conversion,
// the callback trampoline and the ownership of engine instances.
#include <cxxabi.h>
#include <pthread.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <limits>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <unordered_set>
#include <utility>
#include <vector>

#include "../engine/corvel_delivery.h"
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

// repr(value) for an error message, shortened; never throws.
std::string ShortRepr(PyObject* value) {
  std::string text = "<unprintable>";
  PyObject* exception = PyErr_GetRaisedException();
  if (PyObject* repr = PyObject_Repr(value)) {
    Py_ssize_t size = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(repr, &size)) text.assign(utf8, size);
    Py_DECREF(repr);
  }
  PyErr_Clear();
  PyErr_SetRaisedException(exception);
  if (text.size() > 80) text = text.substr(0, 77) + "...";
  return text;
}

}  // namespace

// ---- Objects whose __init__ never ran ----
//
// `cls.__new__(cls)` makes a Python object of a bound class without a native
// object in it. The binding library, asked for the native object of such an
// instance, allocates raw storage on the spot and hands that out: fields read
// garbage and methods run on it. Every bound class is loaded through a caster
// below that refuses such an object with TypeError first, whether it is an
// argument, the object of a method or property, or a value assigned to a
// field. Views into a record field (`params.room`) own nothing and have no
// holder, but do have their value.
namespace {

void RefuseUninitialised(py::handle src, const py::detail::type_info* info) {
  PyTypeObject* type = Py_TYPE(src.ptr());
  if (info == nullptr || (type != info->type && !PyType_IsSubtype(type, info->type))) return;
  auto* inst = reinterpret_cast<py::detail::instance*>(src.ptr());
  py::detail::value_and_holder v_h = inst->get_value_and_holder(info, false);
  if (!v_h || v_h.value_ptr() == nullptr || (inst->owned && !v_h.holder_constructed())) {
    throw py::type_error(std::string(info->type->tp_name) +
                         ": the object was never initialised: its __init__ did not run");
  }
}

// The binding record of T's class, looked up once it exists (with the lock
// held).
template <typename T>
const py::detail::type_info* BoundType() {
  static const py::detail::type_info* info = nullptr;
  if (info == nullptr) info = py::detail::get_type_info(typeid(T));
  return info;
}

// The classes and enumerations the module binds by value.
template <typename T>
struct IsBoundValue
    : std::bool_constant<
          std::is_same_v<T, AudioFrame> || std::is_same_v<T, VideoFrame> ||
          std::is_same_v<T, PixelFrame> || std::is_same_v<T, VoraString> ||
          std::is_same_v<T, UserInfo> || std::is_same_v<T, RoomParams> ||
          std::is_same_v<T, EnterRoomParams> || std::is_same_v<T, AudioEncodeParams> ||
          std::is_same_v<T, VideoEncodeParams> || std::is_same_v<T, NetworkQualityInfo> ||
          std::is_same_v<T, AudioObtainParams> || std::is_same_v<T, VADParams> ||
          std::is_same_v<T, Error> || std::is_same_v<T, VideoCodecType> ||
          std::is_same_v<T, AudioCodecType> || std::is_same_v<T, VORARole> ||
          std::is_same_v<T, VORAScene> || std::is_same_v<T, StreamType> ||
          std::is_same_v<T, AudioObtainMethod> || std::is_same_v<T, NetworkQuality> ||
          std::is_same_v<T, ConnectionState> || std::is_same_v<T, VideoRotation> ||
          std::is_same_v<T, VideoPixelFormat>> {};

}  // namespace

// Methods take their object through Self<C> (C's caster refuses an object
// never initialised). Self<C> renders in signatures as C does.
template <typename C>
struct Self {
  C* object;
};

// A value assigned to a field: its caster never fails, so that the setter can
// name the field in its TypeError (the binding library's own message names no
// function for a property setter). It renders in signatures as T does.
template <typename T>
struct FieldValue {
  T value{};
  bool loaded = false;
  PyObject* source = nullptr;  // borrowed, for the message
};

namespace pybind11::detail {

// The enumerations above use the caster below, not the library's own one for
// enumerations (which loads through the unchecked generic caster).
template <typename T>
struct type_caster_enum_type_enabled<T, enable_if_t<IsBoundValue<T>::value>> : std::false_type {};

template <typename T>
class type_caster<T, enable_if_t<IsBoundValue<T>::value>> : public type_caster_base<T> {
 public:
  bool load(handle src, bool convert) {
    RefuseUninitialised(src, BoundType<T>());
    return type_caster_base<T>::load(src, convert);
  }

  // As the library's own, with the class's binding record looked up once
  // rather than hashed from the C++ type's name on every conversion (none of
  // these types is polymorphic, so there is no more derived type to find).
  static handle cast(const T& src, return_value_policy policy, handle parent) {
    if (policy == return_value_policy::automatic ||
        policy == return_value_policy::automatic_reference) {
      policy = return_value_policy::copy;
    }
    return cast(std::addressof(src), policy, parent);
  }
  static handle cast(T&& src, return_value_policy, handle parent) {
    return cast(std::addressof(src), return_value_policy::move, parent);
  }
  static handle cast(const T* src, return_value_policy policy, handle parent) {
    static_assert(!std::is_polymorphic_v<T>);
    const type_info* info = BoundType<T>();
    if (policy == return_value_policy::copy && src != nullptr && info != nullptr &&
        info->holder_enum_v == holder_enum_t::std_unique_ptr && info->simple_type) {
      return NewCopy(*src, info);
    }
    return type_caster_generic::cast(src, policy, parent, info,
                                     type_caster_base<T>::make_copy_constructor(src),
                                     type_caster_base<T>::make_move_constructor(src));
  }

 private:
  // What the generic copying conversion does for a class held by
  // std::unique_ptr<T> outside multiple inheritance (the existing Python
  // object of `src` when there is one; otherwise a new instance owning a
  // copy, registered, its holder made), less the second lookup of the class
  // by the C++ type's name that the class's own instance set-up makes: every
  // frame of a media callback goes through here.
  static handle NewCopy(const T& src, const type_info* info) {
    void* const original = const_cast<T*>(std::addressof(src));
    if (handle existing = find_registered_python_instance(original, info)) return existing;
    auto object = reinterpret_steal<pybind11::object>(make_new_instance(info->type));
    auto* inst = reinterpret_cast<instance*>(object.ptr());
    inst->owned = false;
    value_and_holder v_h = inst->get_value_and_holder(info, true);
    v_h.value_ptr() = new T(src);
    inst->owned = true;
    register_instance(inst, v_h.value_ptr(), info);
    v_h.set_instance_registered();
    new (std::addressof(v_h.holder<std::unique_ptr<T>>())) std::unique_ptr<T>(v_h.value_ptr<T>());
    v_h.set_holder_constructed();
    return object.release();
  }
};

template <typename C>
struct type_caster<Self<C>> {
  PYBIND11_TYPE_CASTER(Self<C>, make_caster<C>::name);
  bool load(handle src, bool) {
    const type_info* info = BoundType<C>();
    if (info == nullptr || !isinstance(src, reinterpret_cast<PyObject*>(info->type))) {
      return false;
    }
    RefuseUninitialised(src, info);
    auto* inst = reinterpret_cast<instance*>(src.ptr());
    value.object = inst->get_value_and_holder(info, true).template value_ptr<C>();
    return true;
  }
  static handle cast(Self<C>, return_value_policy, handle) { return none().release(); }
};

template <typename T>
struct type_caster<FieldValue<T>> {
  PYBIND11_TYPE_CASTER(FieldValue<T>, make_caster<T>::name);
  bool load(handle src, bool convert) {
    make_caster<T> inner;
    value.source = src.ptr();
    value.loaded = inner.load(src, convert);
    if (value.loaded) {
      try {
        value.value = cast_op<const T&>(inner);
      } catch (const reference_cast_error&) {  // None for a record
        value.loaded = false;
      }
    } else {
      PyErr_Clear();  // a caster that failed may leave an error behind
    }
    return true;
  }
  static handle cast(const FieldValue<T>&, return_value_policy, handle) { return none().release(); }
};

}  // namespace pybind11::detail

namespace {

// What a field of type T accepts, for the TypeError of its setter.
template <typename T>
std::string Expected() {
  if constexpr (std::is_same_v<T, bool>) {
    return "a bool";
  } else if constexpr (std::is_integral_v<T>) {
    return "an integer in " + std::to_string(std::numeric_limits<T>::min()) + ".." +
           std::to_string(std::numeric_limits<T>::max());
  } else {
    const py::detail::type_info* info = BoundType<T>();
    if (info == nullptr) return "a value of the field's type";
    const char* name = info->type->tp_name;
    const char* dot = std::strrchr(name, '.');
    const std::string type = dot ? dot + 1 : name;
    return (std::strchr("AEIOU", type[0]) ? "an " : "a ") + type;
  }
}

// A read-write field: reads as def_readwrite reads it (a record field as a
// view into its parent, an enumeration as an independent value), and a value
// the field cannot take is refused with a TypeError naming the field.
template <typename Class, typename T>
void def_field(py::class_<Class>& cls, const char* name, T Class::*field) {
  const std::string label = py::cast<std::string>(cls.attr("__name__")) + "." + name;
  auto set = [field, label](Class& self, const FieldValue<T>& value) {
    if (!value.loaded) {
      throw py::type_error(label + ": expected " + Expected<T>() + ", got " +
                           ShortRepr(value.source));
    }
    self.*field = value.value;
  };
  if constexpr (std::is_enum_v<T>) {
    cls.def_property(
        name, [field](const Class& self) { return self.*field; }, set);
  } else {
    // As def_readwrite makes them, so that signatures stay the same.
    py::cpp_function get([field](const Class& self) -> const T& { return self.*field; },
                         py::is_method(cls));
    cls.def_property(name, get, py::cpp_function(set, py::is_method(cls)),
                     py::return_value_policy::reference_internal);
  }
}

// ---- Callbacks in progress, engines being ended ----
//
// The exit hook must not return while an engine thread runs Python: once the
// interpreter finalizes, a thread that takes the lock back (as any callback
// running Python code does, every few milliseconds) is ended from inside
// whatever it runs, and the destructors that unwind then touch Python objects
// without a thread state. Nor while a thread ends an engine with the lock let
// go: it takes the lock back when Destroy returns. So the gate counts both,
// and the exit hook closes it (callbacks that arrive afterwards return at
// once) and waits, with the lock let go, until both counts are zero.
class CallbackGate {
 public:
  // Around every callback from an engine, from before it asks for the lock
  // until after it has let it go.
  static void Enter() { Entered().fetch_add(1); }
  static void Leave() {
    if (Entered().fetch_sub(1) == 1) NotifyIfWatched();
  }
  // Around Destroy, which runs with the lock let go.
  static void BeginEnding() { Ending().fetch_add(1); }
  static void EndEnding() {
    if (Ending().fetch_sub(1) == 1) NotifyIfWatched();
  }

  static bool Closed() { return ClosedFlag().load(std::memory_order_acquire); }
  static void Close() { ClosedFlag().store(true, std::memory_order_release); }
  static bool Quiet() { return Entered().load() == 0 && Ending().load() == 0; }

  // Without the interpreter lock: waits until Quiet() or the timeout.
  static bool WaitQuiet(std::chrono::steady_clock::duration timeout) {
    Watched().store(true);
    std::unique_lock<std::mutex> lock(*MutexPtr());
    return CondPtr()->wait_for(lock, timeout, [] { return Quiet(); });
  }

  // In a child process right after fork: the parent's threads are not there
  // to leave, nor to notify.
  static void AfterForkInChild() {
    Entered().store(0);
    Ending().store(0);
    Watched().store(false);
    MutexPtr() = new std::mutex;  // the parent's may be held by a thread gone here
    CondPtr() = new std::condition_variable;
  }

 private:
  static void NotifyIfWatched() {
    if (!Watched().load()) return;
    std::lock_guard<std::mutex> lock(*MutexPtr());
    CondPtr()->notify_all();
  }
  // All never destroyed: engine threads may leave after static destructors ran.
  static std::atomic<int>& Entered() {
    static std::atomic<int> entered{0};
    return entered;
  }
  static std::atomic<int>& Ending() {
    static std::atomic<int> ending{0};
    return ending;
  }
  static std::atomic<bool>& Watched() {
    static std::atomic<bool> watched{false};
    return watched;
  }
  static std::atomic<bool>& ClosedFlag() {
    static std::atomic<bool> closed{false};
    return closed;
  }
  static std::mutex*& MutexPtr() {
    static std::mutex* mutex = new std::mutex;
    return mutex;
  }
  static std::condition_variable*& CondPtr() {
    static std::condition_variable* cond = new std::condition_variable;
    return cond;
  }
};

// Callbacks from an engine that run Python on this thread now (nested ones
// included).
thread_local int t_callbacks_running = 0;

// ---- The interpreter lock on engine threads ----
//
// The engine delivers every callback on a small pool of delivery threads and
// tells each one when a run of callbacks ends (engine/corvel_delivery.h). A
// pool thread takes the interpreter lock for the first callback of a run and
// keeps it until the run ends, at most about 10 ms of callbacks later and
// always before the thread waits for work or for anything else: one hand-over
// of the lock for many callbacks. A thread that wants the lock meanwhile asks
// for it after the switch interval (5 ms); a callback running Python code
// then lets it go, as a Python thread would, and otherwise the end of the run
// does (a run ended sooner and started again at once would take the lock
// back before the waiter ever asks).
//
// A pool thread that lives as long as the process makes one Python thread
// state on its first callback and keeps it: making one also maps (and
// deleting one unmaps) the thread's frame stack in CPython 3.12, many times
// what a callback costs. The interpreter deletes it as it finalizes (in a
// forked child, as the child starts), when the exit hook has closed the gate
// and the thread never looks at it again. A pool thread that may end makes
// its thread state for the run and deletes it, with the lock, at the run's
// end. On any other thread (an engine that does not tell about its threads)
// each callback takes the lock with a thread state of its own
// (PyGILState_Ensure/Release).
#pragma weak corvel_delivery_listen
#pragma weak corvel_delivery_thread

class EngineThreadLock {
 public:
  static EngineThreadLock& This() {
    thread_local EngineThreadLock lock;
    return lock;
  }

  // Installed once at import when the engine tells about its threads.
  static void Listen() {
    static corvel_delivery_listener listener{nullptr, [](void*) { This().RunEnded(); }};
    if (corvel_delivery_listen == nullptr || corvel_delivery_thread == nullptr) return;
    corvel_delivery_listen(&listener);
    Listening().store(true, std::memory_order_release);
  }

  // Takes the interpreter lock for a callback, unless this thread already
  // holds it for the run; false (nothing may run) once the exit hook has
  // closed the gate. The gate counts the thread from before it asks for the
  // lock until after it has let it go.
  bool Acquire() {
    if (!held_) {
      CallbackGate::Enter();
      if (CallbackGate::Closed() || InterpreterFinalizing()) {
        CallbackGate::Leave();
        return false;
      }
      if (kind_ == CORVEL_DELIVERY_THREAD_NONE) {
        gilstate_ = PyGILState_Ensure();
      } else {
        if (state_ == nullptr) state_ = PyThreadState_New(PyInterpreterState_Main());
        PyEval_RestoreThread(state_);
      }
      held_ = true;
    }
    // Closed while this thread waited for the lock, or between two callbacks
    // of a run (the lock passed to the exit hook inside a callback).
    if (CallbackGate::Closed()) {
      Release();
      return false;
    }
    return true;
  }

  // After a callback: a pool thread keeps the lock until its run ends.
  void CallbackDone() {
    if (kind_ == CORVEL_DELIVERY_THREAD_NONE) Release();
  }

  // Whether this thread's state outlives a callback (what a callback leaves
  // in it must then be cleared).
  bool KeepsState() const { return kind_ != CORVEL_DELIVERY_THREAD_NONE; }

  // With the lock held: a new empty contextvars context for a callback
  // (null on failure, the error set). A long-lived pool thread keeps the one
  // its last callback ran in when that came back empty and held by no one
  // else (Python code can copy a context's variables but never reach the
  // context object itself), which is then as good as a new one.
  PyObject* NewContext() {
    if (PyObject* spare = std::exchange(spare_context_, nullptr)) return spare;
    return PyContext_New();
  }
  // With the lock held: the context a callback ran in, exited; takes the
  // reference.
  void ContextDone(PyObject* context) {
    if (kind_ == CORVEL_DELIVERY_THREAD_LONG_LIVED && spare_context_ == nullptr &&
        Py_REFCNT(context) == 1 && PyObject_Length(context) == 0) {
      spare_context_ = context;
      return;
    }
    Py_DECREF(context);
  }

 private:
  EngineThreadLock()
      : kind_(Listening().load(std::memory_order_acquire) ? corvel_delivery_thread()
                                                          : CORVEL_DELIVERY_THREAD_NONE) {}

  static std::atomic<bool>& Listening() {
    static std::atomic<bool> listening{false};
    return listening;
  }

  void RunEnded() {
    if (held_) Release();
  }

  void Release() {
    if (kind_ == CORVEL_DELIVERY_THREAD_NONE) {
      PyGILState_Release(gilstate_);
    } else if (kind_ == CORVEL_DELIVERY_THREAD_LONG_LIVED) {
      PyEval_SaveThread();
    } else {
      PyThreadState_Clear(state_);
      PyThreadState_DeleteCurrent();
      state_ = nullptr;
    }
    held_ = false;
    CallbackGate::Leave();
  }

  const int kind_;
  bool held_ = false;
  PyThreadState* state_ = nullptr;  // pool threads'
  PyGILState_STATE gilstate_ = PyGILState_UNLOCKED;
  // Long-lived pool threads': kept for the process's life, as their state.
  PyObject* spare_context_ = nullptr;
};

// Holds the interpreter lock for one callback. On a thread state that
// outlives the callback, the callback still sees what a new thread state
// would give it: it runs in a new empty contextvars context, and the
// per-thread data it leaves behind (the thread's dict, where threading.local
// values live, a trace or profile function, async generator hooks) is
// dropped when it returns, as deleting its thread state would drop it. Once
// the exit hook has closed the gate, the callback is refused: admitted() is
// false and nothing may run.
class CallbackLock {
 public:
  CallbackLock() : thread_(EngineThreadLock::This()), admitted_(thread_.Acquire()) {
    if (!admitted_) return;
    ++t_callbacks_running;
    if (!thread_.KeepsState()) return;
    context_ = thread_.NewContext();
    if (context_ != nullptr && PyContext_Enter(context_) != 0) {
      PyErr_Clear();
      Py_CLEAR(context_);
    }
  }
  ~CallbackLock() {
    if (!admitted_) return;
    if (thread_.KeepsState()) {
      if (context_ != nullptr) {
        if (PyContext_Exit(context_) != 0) {
          PyErr_WriteUnraisable(nullptr);
          Py_DECREF(context_);
        } else {
          thread_.ContextDone(context_);
        }
      }
      PyThreadState* state = PyThreadState_Get();
      if (state->dict != nullptr && PyDict_GET_SIZE(state->dict) != 0) PyDict_Clear(state->dict);
      if (state->c_tracefunc != nullptr) PyEval_SetTrace(nullptr, nullptr);
      if (state->c_profilefunc != nullptr) PyEval_SetProfile(nullptr, nullptr);
      Py_CLEAR(state->async_gen_firstiter);
      Py_CLEAR(state->async_gen_finalizer);
    }
    --t_callbacks_running;
    thread_.CallbackDone();
  }
  CallbackLock(const CallbackLock&) = delete;
  CallbackLock& operator=(const CallbackLock&) = delete;

  bool admitted() const { return admitted_; }

 private:
  EngineThreadLock& thread_;
  const bool admitted_;
  PyObject* context_ = nullptr;
};

// A new Python object of T's bound class holding a copy of `value`: exactly
// what py::cast(value, return_value_policy::copy) makes, but with the class's
// binding record looked up once rather than on every call (that lookup hashes
// the C++ type's name, a sizeable part of the cost for a small record).
template <typename T>
py::object CopyToPython(const T& value) {
  return py::reinterpret_steal<py::object>(py::detail::type_caster_generic::cast(
      &value, py::return_value_policy::copy, py::handle(), BoundType<T>(),
      [](const void* from) -> void* { return new T(*static_cast<const T*>(from)); },
      [](const void* from) -> void* {
        return new T(std::move(*const_cast<T*>(static_cast<const T*>(from))));
      }));
}

// ---- The callbacks ----

enum CallbackId : int {
  kOnError,
  kOnConnectionStateChanged,
  kOnEnterRoom,
  kOnExitRoom,
  kOnLocalAudioChannelCreated,
  kOnLocalAudioChannelDestroyed,
  kOnLocalVideoChannelCreated,
  kOnLocalVideoChannelDestroyed,
  kOnRequestChangeVideoEncodeBitrate,
  kOnRequestKeyFrame,
  kOnRemoteUserEnterRoom,
  kOnRemoteUserExitRoom,
  kOnRemoteAudioAvailable,
  kOnRemoteVideoAvailable,
  kOnRemoteVideoFrameReceived,
  kOnRemotePixelFrameReceived,
  kOnRemoteAudioReceived,
  kOnRemoteMixedAudioReceived,
  kOnSeiMessageReceived,
  kOnReceiveCustomCmdMsg,
  kOnMissCustomCmdMsg,
  kOnNetworkQuality,
  kCallbackCount
};

// Required: without a Python method the callback fails with the pure-virtual
// error. Optional: without one, nothing happens; failures are reported as a
// required callback's are. Guarded: without one, nothing happens; a failure
// is printed to standard error on one line.
enum class CallbackKind { kRequired, kOptional, kGuarded };

constexpr const char* kCallbackNames[kCallbackCount] = {
    "OnError",
    "OnConnectionStateChanged",
    "OnEnterRoom",
    "OnExitRoom",
    "OnLocalAudioChannelCreated",
    "OnLocalAudioChannelDestroyed",
    "OnLocalVideoChannelCreated",
    "OnLocalVideoChannelDestroyed",
    "OnRequestChangeVideoEncodeBitrate",
    "OnRequestKeyFrame",
    "OnRemoteUserEnterRoom",
    "OnRemoteUserExitRoom",
    "OnRemoteAudioAvailable",
    "OnRemoteVideoAvailable",
    "OnRemoteVideoFrameReceived",
    "OnRemotePixelFrameReceived",
    "OnRemoteAudioReceived",
    "OnRemoteMixedAudioReceived",
    "OnSeiMessageReceived",
    "OnReceiveCustomCmdMsg",
    "OnMissCustomCmdMsg",
    "OnNetworkQuality",
};

constexpr CallbackKind KindOf(CallbackId id) {
  return id == kOnMissCustomCmdMsg     ? CallbackKind::kOptional
         : id >= kOnSeiMessageReceived ? CallbackKind::kGuarded
                                       : CallbackKind::kRequired;
}

std::string PureVirtualMessage(CallbackId id) {
  return std::string("Tried to call pure virtual function \"VORACloudDelegate::") +
         kCallbackNames[id] + "\"";
}

// The callbacks' names as Python strings, and the module's own base methods:
// a method found on a delegate that is one of these is not an override.
// Filled once the delegate class exists; never released.
struct CallbackTable {
  PyObject* names[kCallbackCount] = {};
  PyObject* base_functions[kCallbackCount] = {};
};
CallbackTable& Callbacks() {
  static CallbackTable* const table = new CallbackTable;
  return *table;
}

bool IsBaseFunction(PyObject* function) {
  if (!PyCFunction_Check(function)) return false;  // the base methods are built-in functions
  for (PyObject* base : Callbacks().base_functions) {
    if (function == base) return true;
  }
  return false;
}

// Whether the Python code running now on this thread is a method `name` of
// `self` (its first parameter is `self`): the base method was called from
// the override itself (super().OnEnterRoom()), which must not call the
// override again. As the binding library's own lookup decides.
bool CalledFromOverride(PyObject* self, CallbackId id) {
  PyFrameObject* frame = PyEval_GetFrame();  // borrowed
  if (frame == nullptr) return false;
  PyCodeObject* code = PyFrame_GetCode(frame);
  bool from_override = false;
  if (code->co_argcount > 0 && PyUnicode_Compare(code->co_name, Callbacks().names[id]) == 0) {
    PyObject* names = PyCode_GetVarnames(code);
    PyObject* locals = PyFrame_GetLocals(frame);
    if (names != nullptr && locals != nullptr && PyTuple_GET_SIZE(names) > 0) {
      PyObject* first = PyObject_GetItem(locals, PyTuple_GET_ITEM(names, 0));
      from_override = first == self;
      Py_XDECREF(first);
    }
    Py_XDECREF(names);
    Py_XDECREF(locals);
    PyErr_Clear();
  }
  Py_DECREF(code);
  return from_override;
}

// An override found on a delegate, ready to be called with the binding
// library's conversion of each argument. A plain function found on the
// delegate's class (a `def OnX(self, ...)` of its Python class) is kept
// unbound and called with the delegate as its first argument, as the bound
// method the attribute lookup would have made calls it, without making that
// method object on every callback.
class Override {
 public:
  Override() = default;
  // `callable`: a new reference; `self`: the delegate to pass first, or null
  // when `callable` is called as it is (borrowed: the caller holds it).
  Override(PyObject* callable, PyObject* self)
      : callable_(py::reinterpret_steal<py::object>(callable)), self_(self) {}

  explicit operator bool() const { return static_cast<bool>(callable_); }
  PyObject* ptr() const { return callable_.ptr(); }

  // The arguments are all converted first, in order, then the call is made;
  // a failure raises as the binding library's own call would.
  template <typename... Args>
  py::object operator()(Args&&... args) const {
    constexpr size_t count = sizeof...(Args);
    py::object converted[count + 1];
    size_t index = 0;
    ((converted[index] = Argument(std::forward<Args>(args), index), ++index), ...);
    // argv[0] is free for the callee's use (PY_VECTORCALL_ARGUMENTS_OFFSET);
    // argv[1] is the delegate when the callable is unbound.
    PyObject* argv[count + 2];
    argv[0] = nullptr;
    argv[1] = self_;
    for (size_t i = 0; i < count; ++i) argv[i + 2] = converted[i].ptr();
    PyObject* const* first = self_ != nullptr ? argv + 1 : argv + 2;
    const size_t nargs = self_ != nullptr ? count + 1 : count;
    PyObject* result = PyObject_Vectorcall(callable_.ptr(), first,
                                           nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    if (result == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(result);
  }

 private:
  // Text: str (UTF-8), None for null; the library's caster makes the same.
  static py::object Argument(const char* text, size_t) {
    if (text == nullptr) return py::none();
    PyObject* str = PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(std::strlen(text)), nullptr);
    if (str == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(str);
  }
  template <typename T>
  static py::object Argument(T&& value, size_t index) {
    py::handle converted = py::detail::make_caster<T>::cast(
        std::forward<T>(value), py::return_value_policy::automatic_reference, nullptr);
    if (!converted) {
#if defined(PYBIND11_DETAILED_ERROR_MESSAGES)
      throw py::cast_error_unable_to_convert_call_arg(std::to_string(index), py::type_id<T>());
#else
      throw py::cast_error_unable_to_convert_call_arg(std::to_string(index));
#endif
    }
    return py::reinterpret_steal<py::object>(converted);
  }

  py::object callable_;
  PyObject* self_ = nullptr;
};

// The override of callback `id` on the Python delegate `self`: whatever the
// attribute lookup finds (a function, a builtin, a functools.partial, any
// object, on the instance or on its class), unless it is the module's own
// base method. Empty when there is none. Looked up on every call, so a method
// added or removed later is seen at once. (_PyObject_GetMethod is the lookup
// of PyObject_GetAttr, answering a function found on the class unbound.)
Override FindOverride(PyObject* self, CallbackId id, bool from_python) {
  PyObject* found = nullptr;
  const bool unbound = _PyObject_GetMethod(self, Callbacks().names[id], &found) == 1;
  if (found == nullptr) throw py::error_already_set();
  PyObject* function = found;
  if (!unbound && PyMethod_Check(found) && PyMethod_GET_SELF(found) == self) {
    function = PyMethod_GET_FUNCTION(found);
  }
  if (IsBaseFunction(function) || (from_python && CalledFromOverride(self, id))) {
    Py_DECREF(found);
    return Override();
  }
  return Override(found, unbound ? self : nullptr);
}

// Set by the bound base methods of VORACloudDelegate right before they call
// the native method, which reaches the trampoline on this same thread; the
// trampoline takes it at once. A callback so reached was called from Python:
// its caller receives its exceptions.
thread_local bool t_called_from_python = false;

struct CalledFromPython {
  CalledFromPython() { t_called_from_python = true; }
  ~CalledFromPython() { t_called_from_python = false; }
};

// ---- Failures of callbacks ----
//
// An exception that leaves a Required or the Optional callback on an engine
// thread is reported through sys.unraisablehook with the delegate as the
// object. Repeats are summarised per (delegate, callback, exception type):
// the first failure is reported in full; later ones are counted, and the
// first failure at least kSummaryInterval after the last report is reported
// with the count since then; a count left over is reported once more when a
// cloud of the delegate ends.
constexpr double kSummaryInterval = 5.0;  // seconds
constexpr size_t kMaxFailureKeys = 32;    // per delegate; past that, no summarising

double Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

std::string Summary(uint64_t count, double seconds, const char* ending = "") {
  char text[128];
  std::snprintf(text, sizeof(text), " (%llu more time%s in the last %.1f s%s)",
                static_cast<unsigned long long>(count), count == 1 ? "" : "s", seconds, ending);
  return text;
}

// With the lock held and the error set: reports it through
// sys.unraisablehook ("Exception ignored in delegate callback <name><suffix>")
// and clears it.
void WriteUnraisable(CallbackId id, const std::string& suffix, PyObject* object) {
  const std::string where = std::string("in delegate callback ") + kCallbackNames[id] + suffix;
  _PyErr_WriteUnraisableMsg(where.c_str(), object);
  PyErr_Clear();
}

class FailureLog {
 public:
  FailureLog() = default;
  FailureLog(const FailureLog&) = delete;
  FailureLog& operator=(const FailureLog&) = delete;
  ~FailureLog() {
    // The log goes with its delegate, with the lock held (the Python object's
    // holder, a cloud or the parked list lets it go); at the very end of the
    // process the references are left to the interpreter.
    if (!Py_IsInitialized() || !PyGILState_Check()) return;
    for (Key& key : keys_) Py_XDECREF(key.type);
  }

  // With the lock held and the error set: reports or counts it, and clears it.
  void Report(CallbackId id, PyObject* delegate) {
    PyObject* exception = PyErr_GetRaisedException();
    if (exception == nullptr) return;
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exception));
    const double now = Now();
    std::string suffix;
    Key* key = Find(id, type);
    if (key == nullptr) {
      if (keys_.size() < kMaxFailureKeys) {
        Py_INCREF(type);
        keys_.push_back(Key{id, type, 0, now, {}});
      }
    } else if (now - key->reported >= kSummaryInterval) {
      suffix = Summary(key->repeats + 1, now - key->reported);
      key->repeats = 0;
      key->reported = now;
      key->last_text.clear();
    } else {
      ++key->repeats;
      key->last_text = Text(exception);  // for the report when the cloud ends
      Py_DECREF(exception);
      return;
    }
    PyErr_SetRaisedException(exception);
    WriteUnraisable(id, suffix, delegate);
  }

  // With the lock held, when a cloud of the delegate ends: reports the
  // failures counted and not reported yet, each with an exception of the same
  // type and the last one's message (the failure itself is not kept: it
  // would keep what its traceback refers to alive).
  void Flush(PyObject* delegate) {
    if (keys_.empty()) return;
    PyObject* pending = PyErr_GetRaisedException();  // a cloud may end while one propagates
    const double now = Now();
    // Reporting runs Python code, which may let the lock go: nothing of
    // keys_ is held across it.
    for (size_t i = 0; i < keys_.size(); ++i) {
      if (keys_[i].repeats == 0) continue;
      const CallbackId id = keys_[i].id;
      PyObject* type = keys_[i].type;
      Py_INCREF(type);
      const std::string text = std::move(keys_[i].last_text);
      const std::string suffix =
          Summary(keys_[i].repeats, now - keys_[i].reported, ", before a cloud of it ended");
      keys_[i].repeats = 0;
      keys_[i].reported = now;
      keys_[i].last_text.clear();
      PyObject* exception = PyObject_CallFunction(type, "s", text.c_str());
      if (exception == nullptr || !PyExceptionInstance_Check(exception)) {
        Py_XDECREF(exception);
        PyErr_Clear();
        exception = PyObject_CallFunction(
            PyExc_RuntimeError, "s",
            (reinterpret_cast<PyTypeObject*>(type)->tp_name + std::string(": ") + text).c_str());
      }
      Py_DECREF(type);
      if (exception == nullptr) {
        PyErr_Clear();
        continue;
      }
      PyErr_SetRaisedException(exception);
      WriteUnraisable(id, suffix, delegate);
    }
    PyErr_SetRaisedException(pending);
  }

 private:
  struct Key {
    CallbackId id;
    PyObject* type;    // strong
    uint64_t repeats;  // failures since the last report
    double reported;   // when the last report was made
    std::string last_text;
  };

  Key* Find(CallbackId id, PyObject* type) {
    for (Key& key : keys_) {
      if (key.id == id && key.type == type) return &key;
    }
    return nullptr;
  }

  static std::string Text(PyObject* exception) {
    std::string text;
    if (PyObject* str = PyObject_Str(exception)) {
      Py_ssize_t size = 0;
      if (const char* utf8 = PyUnicode_AsUTF8AndSize(str, &size)) text.assign(utf8, size);
      Py_DECREF(str);
    }
    PyErr_Clear();
    return text;
  }

  std::vector<Key> keys_;  // with the lock held
};

}  // namespace

// Carries engine callbacks into Python methods of the delegate's Python
// object. Each callback from an engine takes the interpreter lock, looks up
// the override and calls it; what it raises is reported (see FailureLog) and
// the engine carries on. A callback reached through a base method called
// from Python runs on the caller's lock and raises to the caller.
class PyVORACloudDelegate : public VORACloudDelegate {
 public:
  PyVORACloudDelegate() = default;
  ~PyVORACloudDelegate() override {}

  // Callbacks from engines that have entered this object and not yet left it.
  int InFlight() const { return in_flight_.load(); }

  // With the lock held, when a cloud of this delegate ends.
  void FlushFailures(PyObject* delegate) { failures_.Flush(delegate); }

  void OnError(Error error) override {
    Deliver(kOnError, [&](const Override& f) { f(error); });
  }
  void OnConnectionStateChanged(ConnectionState old_state, ConnectionState new_state) override {
    Deliver(kOnConnectionStateChanged, [&](const Override& f) { f(old_state, new_state); });
  }
  void OnEnterRoom() override {
    Deliver(kOnEnterRoom, [&](const Override& f) { f(); });
  }
  void OnExitRoom() override {
    Deliver(kOnExitRoom, [&](const Override& f) { f(); });
  }
  void OnLocalAudioChannelCreated() override {
    Deliver(kOnLocalAudioChannelCreated, [&](const Override& f) { f(); });
  }
  void OnLocalAudioChannelDestroyed() override {
    Deliver(kOnLocalAudioChannelDestroyed, [&](const Override& f) { f(); });
  }
  void OnLocalVideoChannelCreated(StreamType stream_type) override {
    Deliver(kOnLocalVideoChannelCreated, [&](const Override& f) { f(stream_type); });
  }
  void OnLocalVideoChannelDestroyed(StreamType stream_type) override {
    Deliver(kOnLocalVideoChannelDestroyed, [&](const Override& f) { f(stream_type); });
  }
  void OnRequestChangeVideoEncodeBitrate(StreamType stream_type, int bitrate_bps) override {
    Deliver(kOnRequestChangeVideoEncodeBitrate,
            [&](const Override& f) { f(stream_type, bitrate_bps); });
  }
  void OnRequestKeyFrame(StreamType stream_type) override {
    Deliver(kOnRequestKeyFrame, [&](const Override& f) { f(stream_type); });
  }
  void OnRemoteUserEnterRoom(const UserInfo& info) override {
    Deliver(kOnRemoteUserEnterRoom, [&](const Override& f) { f(info); });
  }
  void OnRemoteUserExitRoom(const UserInfo& info, int reason) override {
    Deliver(kOnRemoteUserExitRoom, [&](const Override& f) { f(info, reason); });
  }
  void OnRemoteAudioAvailable(const char* user_id, bool available) override {
    Deliver(kOnRemoteAudioAvailable, [&](const Override& f) { f(user_id, available); });
  }
  void OnRemoteVideoAvailable(const char* user_id, bool available, StreamType type) override {
    Deliver(kOnRemoteVideoAvailable, [&](const Override& f) { f(user_id, available, type); });
  }
  void OnRemoteVideoReceived(const char* user_id, StreamType type,
                             const VideoFrame& frame) override {
    Deliver(kOnRemoteVideoFrameReceived, [&](const Override& f) { f(user_id, type, frame); });
  }
  void OnRemoteVideoReceived(const char* user_id, StreamType type,
                             const PixelFrame& frame) override {
    Deliver(kOnRemotePixelFrameReceived, [&](const Override& f) { f(user_id, type, frame); });
  }
  void OnRemoteAudioReceived(const char* user_id, const AudioFrame& frame) override {
    Deliver(kOnRemoteAudioReceived, [&](const Override& f) { f(user_id, frame); });
  }
  void OnRemoteMixedAudioReceived(const AudioFrame& frame) override {
    Deliver(kOnRemoteMixedAudioReceived, [&](const Override& f) { f(frame); });
  }
  void OnSeiMessageReceived(const char* user_id, StreamType stream_type, int message_type,
                            const char* message, size_t length) override {
    Deliver(kOnSeiMessageReceived, [&](const Override& f) {
      py::bytes payload(message, length);
      f(user_id, stream_type, message_type, payload);
    });
  }
  void OnReceiveCustomCmdMsg(const char* user_id, int32_t cmd_id, uint32_t seq, const char* message,
                             size_t length) override {
    Deliver(kOnReceiveCustomCmdMsg, [&](const Override& f) {
      py::bytes payload(message, length);
      f(user_id, cmd_id, seq, payload);
    });
  }
  void OnMissCustomCmdMsg(const char* user_id, int32_t cmd_id, uint32_t error_code,
                          uint32_t missed) override {
    Deliver(kOnMissCustomCmdMsg,
            [&](const Override& f) { f(user_id, cmd_id, error_code, missed); });
  }
  void OnNetworkQuality(NetworkQualityInfo* local_quality, NetworkQualityInfo* remote_qualities,
                        size_t remote_quality_count) override {
    Deliver(kOnNetworkQuality, [&](const Override& f) {
      py::object local = local_quality
                             ? CopyToPython(*local_quality)
                             : py::cast(NetworkQualityInfo(), py::return_value_policy::move);
      py::list remotes;
      for (size_t i = 0; i < remote_quality_count; ++i) {
        remotes.append(CopyToPython(remote_qualities[i]));
      }
      f(local, remotes);
    });
  }

 private:
  // The Python object of this delegate, or null once it has gone (a callback
  // of a cloud ended from another engine thread may still arrive then).
  py::object PythonObject() const {
    return py::reinterpret_borrow<py::object>(py::detail::get_object_handle(
        static_cast<const VORACloudDelegate*>(this), BoundType<VORACloudDelegate>()));
  }

  template <typename Call>
  void Deliver(CallbackId id, const Call& call) {
    if (t_called_from_python) {
      t_called_from_python = false;
      DeliverToPythonCaller(id, call);
      return;
    }
    if (InterpreterFinalizing()) return;
    InFlightScope in_flight(in_flight_);
    CallbackLock lock;
    if (!lock.admitted()) return;
    // Held to the end: the delegate, native and Python, outlives the
    // callback whatever the callback drops.
    py::object self = PythonObject();
    if (!self) return;
    const CallbackKind kind = KindOf(id);
    try {
      const Override override = FindOverride(self.ptr(), id, false);
      if (!override) {
        if (kind != CallbackKind::kRequired) return;
        PyErr_SetString(PyExc_RuntimeError, PureVirtualMessage(id).c_str());
        failures_.Report(id, self.ptr());
        return;
      }
      if (kind == CallbackKind::kGuarded && !PyCallable_Check(override.ptr())) {
        std::cerr << "unknown error" << std::endl;
        return;
      }
      call(override);
    } catch (abi::__forced_unwind&) {
      throw;
    } catch (py::error_already_set& error) {
      if (kind == CallbackKind::kGuarded) {
        std::cerr << "python callback " << kCallbackNames[id] << " error: " << error.what()
                  << std::endl;
        PyErr_Clear();
        return;
      }
      error.restore();
      failures_.Report(id, self.ptr());
    } catch (...) {
      if (kind == CallbackKind::kGuarded) {
        std::cerr << "unknown error" << std::endl;
        return;
      }
      py::detail::try_translate_exceptions();  // the Python error a caller would get
      failures_.Report(id, self.ptr());
    }
  }

  // From a base method called from Python, on the caller's lock: the
  // override runs, or the base behaviour; what they raise goes to the caller.
  template <typename Call>
  void DeliverToPythonCaller(CallbackId id, const Call& call) {
    py::object self = PythonObject();
    if (!self) throw py::type_error("the delegate has no Python object");
    const Override override = FindOverride(self.ptr(), id, true);
    if (!override) {
      if (KindOf(id) == CallbackKind::kRequired) throw std::runtime_error(PureVirtualMessage(id));
      return;  // the interface's own bodies do nothing
    }
    call(override);
  }

  struct InFlightScope {
    explicit InFlightScope(std::atomic<int>& count) : count_(count) { count_.fetch_add(1); }
    ~InFlightScope() {
      count_.fetch_sub(1);  // the last touch of the delegate
    }
    std::atomic<int>& count_;
  };

  std::atomic<int> in_flight_{0};
  FailureLog failures_;  // with the lock held
};

namespace {

// ---- Delegates of clouds ended from an engine thread ----
//
// Destroy called on an engine thread (inside a callback, or a collection that
// runs there) need not wait for a callback of that instance in progress on
// another thread: that callback goes on after Destroy returns, and may not
// even have entered the delegate yet. The native delegate must outlive it,
// whatever happens to the cloud and to the delegate's Python object
// meanwhile. So the cloud's share of the native delegate is parked here and
// let go, with the lock held, once no callback is inside it and a grace
// period has passed for one that the engine had begun but that has not
// entered the delegate yet.
class ParkedDelegates {
 public:
  static constexpr double kGrace = 2.0;  // seconds

  static void Park(std::shared_ptr<PyVORACloudDelegate> delegate) {  // with the lock held
    List().push_back(Entry{std::move(delegate), Now(), getpid()});
    Nonempty().store(true, std::memory_order_release);
  }

  // With the lock held: lets go of what is safe to let go.
  static void Release() {
    if (!Nonempty().load(std::memory_order_acquire)) return;
    const double now = Now();
    const pid_t pid = getpid();
    std::vector<std::shared_ptr<PyVORACloudDelegate>> released;
    std::vector<Entry>& list = List();
    for (size_t i = 0; i < list.size();) {
      Entry& entry = list[i];
      // In a child process after fork no engine thread of the parent exists.
      const bool safe =
          entry.pid != pid || (now - entry.parked >= kGrace && entry.delegate->InFlight() == 0);
      if (safe) {
        released.push_back(std::move(entry.delegate));
        entry = std::move(list.back());
        list.pop_back();
      } else {
        ++i;
      }
    }
    Nonempty().store(!list.empty(), std::memory_order_release);
    // Destructors run Python code (and may park or release again): only now.
    released.clear();
  }

 private:
  struct Entry {
    std::shared_ptr<PyVORACloudDelegate> delegate;
    double parked;
    pid_t pid;
  };
  static std::vector<Entry>& List() {  // with the lock held; never destroyed
    static std::vector<Entry>* const list = new std::vector<Entry>;
    return *list;
  }
  static std::atomic<bool>& Nonempty() {
    static std::atomic<bool> nonempty{false};
    return nonempty;
  }
};

// Any thread holding the lock for a method call lets go of parked delegates
// that are safe to let go (one atomic load when there is nothing to do).
inline void CollectEnded() { ParkedDelegates::Release(); }

}  // namespace

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
  // running would call into an interpreter that is being torn down. From the
  // moment it starts, callbacks are refused; it returns once no callback runs
  // and no engine is being ended on another thread, or after kExitWait.
  static void EndAllEngines() {
    static constexpr std::chrono::seconds kExitWait{10};
    EnginesEnded() = true;
    CallbackGate::Close();
    const auto deadline = std::chrono::steady_clock::now() + kExitWait;
    // While one engine ends, the lock is free and other threads may drop
    // other clouds, so the set is looked at afresh for each one.
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
      const auto now = std::chrono::steady_clock::now();
      if (CallbackGate::Quiet() || now >= deadline) break;
      py::gil_scoped_release release;
      CallbackGate::WaitQuiet(deadline - now);
    }
    ParkedDelegates::Release();
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
    // On an engine thread, Destroy may return while a callback of this
    // instance still runs (or is about to) on another one.
    const bool on_engine_thread = t_callbacks_running > 0;
    CallbackGate::BeginEnding();
    {
      py::gil_scoped_release release;
      VORACloud::Destroy(cloud);
    }
    CallbackGate::EndEnding();  // with the lock held again
    if (on_engine_thread) ParkedDelegates::Park(delegate);
    delegate->FlushFailures(delegate_object.ptr());
    CollectEnded();
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

// Every method call also lets go of what ended meanwhile (CollectEnded).
template <typename C, typename R, typename... A>
auto Method(R (C::*method)(A...)) {
  return [method](Self<C> self, A... args) -> R {
    CollectEnded();
    return (self.object->*method)(std::forward<A>(args)...);
  };
}

template <typename C, typename R, typename... A>
auto Method(R (C::*method)(A...) const) {
  return [method](Self<C> self, A... args) -> R {
    CollectEnded();
    return (self.object->*method)(std::forward<A>(args)...);
  };
}

// A base method of the delegate called from Python: the override runs (or the
// base behaviour), on the caller's lock, and raises to the caller.
template <typename R, typename... A>
auto DelegateMethod(R (VORACloudDelegate::*method)(A...)) {
  return [method](Self<VORACloudDelegate> self, A... args) -> R {
    CollectEnded();
    CalledFromPython from_python;
    return (self.object->*method)(std::forward<A>(args)...);
  };
}

namespace {

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
      .def("Unsubscribe", Method(&VORACloudWrapper::Unsubscribe), py::arg("user_id"),
           py::arg("type"))
      .def("GetAudioFrame", Method(&VORACloudWrapper::GetAudioFrame), py::arg("frame"))
      .def("CreateLocalAudioChannel", Method(&VORACloudWrapper::CreateLocalAudioChannel),
           py::arg("params"))
      .def("DestroyLocalAudioChannel", Method(&VORACloudWrapper::DestroyLocalAudioChannel))
      .def("SendAudioFrame", Method(&VORACloudWrapper::SendAudioFrame), py::arg("frame"))
      .def("SendContinuousAudioFrame", Method(&VORACloudWrapper::SendContinuousAudioFrame),
           py::arg("frame"), py::arg("clear_send_queue"))
      .def("CreateLocalVideoChannel", Method(&VORACloudWrapper::CreateLocalVideoChannel),
           py::arg("type"))
      .def("DestroyLocalVideoChannel", Method(&VORACloudWrapper::DestroyLocalVideoChannel),
           py::arg("type"))
      .def("SendVideoFrame", Method(&VORACloudWrapper::SendVideoFrame), py::arg("type"),
           py::arg("frame"))
      .def("SendPixelFrame", Method(&VORACloudWrapper::SendPixelFrame), py::arg("type"),
           py::arg("frame"))
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
      .def("OnError", DelegateMethod(&VORACloudDelegate::OnError))
      .def("OnConnectionStateChanged", DelegateMethod(&VORACloudDelegate::OnConnectionStateChanged))
      .def("OnEnterRoom", DelegateMethod(&VORACloudDelegate::OnEnterRoom))
      .def("OnExitRoom", DelegateMethod(&VORACloudDelegate::OnExitRoom))
      .def("OnLocalAudioChannelCreated",
           DelegateMethod(&VORACloudDelegate::OnLocalAudioChannelCreated))
      .def("OnLocalAudioChannelDestroyed",
           DelegateMethod(&VORACloudDelegate::OnLocalAudioChannelDestroyed))
      .def("OnLocalVideoChannelCreated",
           DelegateMethod(&VORACloudDelegate::OnLocalVideoChannelCreated))
      .def("OnLocalVideoChannelDestroyed",
           DelegateMethod(&VORACloudDelegate::OnLocalVideoChannelDestroyed))
      .def("OnRemoteUserEnterRoom", DelegateMethod(&VORACloudDelegate::OnRemoteUserEnterRoom))
      .def("OnRemoteUserExitRoom", DelegateMethod(&VORACloudDelegate::OnRemoteUserExitRoom))
      .def("OnRemoteAudioAvailable", DelegateMethod(&VORACloudDelegate::OnRemoteAudioAvailable))
      .def("OnRemoteVideoAvailable", DelegateMethod(&VORACloudDelegate::OnRemoteVideoAvailable))
      .def("OnRemoteAudioReceived", DelegateMethod(&VORACloudDelegate::OnRemoteAudioReceived))
      .def("OnRemoteMixedAudioReceived",
           DelegateMethod(&VORACloudDelegate::OnRemoteMixedAudioReceived))
      .def("OnRemoteVideoFrameReceived",
           DelegateMethod(
               static_cast<void (VORACloudDelegate::*)(const char*, StreamType, const VideoFrame&)>(
                   &VORACloudDelegate::OnRemoteVideoReceived)))
      .def("OnRemotePixelFrameReceived",
           DelegateMethod(
               static_cast<void (VORACloudDelegate::*)(const char*, StreamType, const PixelFrame&)>(
                   &VORACloudDelegate::OnRemoteVideoReceived)))
      .def("OnRequestKeyFrame", DelegateMethod(&VORACloudDelegate::OnRequestKeyFrame))
      .def("OnRequestChangeVideoEncodeBitrate",
           DelegateMethod(&VORACloudDelegate::OnRequestChangeVideoEncodeBitrate))
      // The three below take a pointer with a count or length from the
      // caller; a count or length past what the caller supplied is refused
      // rather than read.
      .def("OnSeiMessageReceived",
           [](Self<VORACloudDelegate> self, const char* user_id, StreamType stream_type,
              int message_type, const char* message, size_t length) {
             CheckSuppliedLength(message, length);
             CollectEnded();
             CalledFromPython from_python;
             self.object->OnSeiMessageReceived(user_id, stream_type, message_type, message, length);
           })
      .def("OnReceiveCustomCmdMsg",
           [](Self<VORACloudDelegate> self, const char* user_id, int32_t cmd_id, uint32_t seq,
              const char* message, size_t length) {
             CheckSuppliedLength(message, length);
             CollectEnded();
             CalledFromPython from_python;
             self.object->OnReceiveCustomCmdMsg(user_id, cmd_id, seq, message, length);
           })
      .def("OnMissCustomCmdMsg", DelegateMethod(&VORACloudDelegate::OnMissCustomCmdMsg))
      .def("OnNetworkQuality",
           [](Self<VORACloudDelegate> self, NetworkQualityInfo* local_quality,
              NetworkQualityInfo* remote_qualities, size_t remote_quality_count) {
             const size_t supplied = remote_qualities ? 1 : 0;
             if (remote_quality_count > supplied) {
               throw py::value_error("OnNetworkQuality(): count " +
                                     std::to_string(remote_quality_count) + " exceeds the " +
                                     std::to_string(supplied) + " record(s) supplied");
             }
             CollectEnded();
             CalledFromPython from_python;
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

  py::class_<RoomParams> room_params(m, "RoomParams");
  room_params.def(py::init<>());
  def_field(room_params, "room_id", &RoomParams::room_id);
  def_field(room_params, "str_room_id", &RoomParams::str_room_id);
  def_field(room_params, "user_id", &RoomParams::user_id);
  def_field(room_params, "user_sig", &RoomParams::user_sig);
  def_field(room_params, "sdk_app_id", &RoomParams::sdk_app_id);

  py::class_<EnterRoomParams> enter_room_params(m, "EnterRoomParams");
  enter_room_params.def(py::init<>());
  def_field(enter_room_params, "room", &EnterRoomParams::room);
  def_field(enter_room_params, "scene", &EnterRoomParams::scene);
  def_field(enter_room_params, "role", &EnterRoomParams::role);
  def_field(enter_room_params, "private_map_key", &EnterRoomParams::private_map_key);
  def_field(enter_room_params, "audio_obtain_params", &EnterRoomParams::audio_obtain_params);
  def_field(enter_room_params, "use_pixel_frame_input", &EnterRoomParams::use_pixel_frame_input);
  def_field(enter_room_params, "use_pixel_frame_output", &EnterRoomParams::use_pixel_frame_output);

  py::class_<AudioEncodeParams> audio_encode_params(m, "AudioEncodeParams");
  audio_encode_params.def(py::init<>());
  def_field(audio_encode_params, "channels", &AudioEncodeParams::channels);
  def_field(audio_encode_params, "sample_rate", &AudioEncodeParams::sample_rate);
  def_field(audio_encode_params, "frame_length_ms", &AudioEncodeParams::frame_length_ms);
  def_field(audio_encode_params, "bitrate_bps", &AudioEncodeParams::bitrate_bps);
  def_field(audio_encode_params, "need_encode", &AudioEncodeParams::need_encode);

  py::class_<VideoEncodeParams> video_encode_params(m, "VideoEncodeParams");
  video_encode_params.def(py::init<>());
  def_field(video_encode_params, "frame_rate", &VideoEncodeParams::frame_rate);
  def_field(video_encode_params, "bitrate_bps", &VideoEncodeParams::bitrate_bps);
  def_field(video_encode_params, "gop_in_seconds", &VideoEncodeParams::gop_in_seconds);

  py::class_<NetworkQualityInfo> network_quality_info(m, "NetworkQualityInfo");
  network_quality_info.def(py::init<>());
  def_field(network_quality_info, "user_id", &NetworkQualityInfo::user_id);
  def_field(network_quality_info, "quality", &NetworkQualityInfo::quality);

  py::class_<UserInfo> user_info(m, "UserInfo");
  user_info.def(py::init<>());
  def_field(user_info, "user_id", &UserInfo::user_id);

  py::class_<AudioObtainParams> audio_obtain_params(m, "AudioObtainParams");
  audio_obtain_params.def(py::init<>());
  def_field(audio_obtain_params, "audio_obtain_method", &AudioObtainParams::audio_obtain_method);
  def_field(audio_obtain_params, "enable_remote_audio_mix",
            &AudioObtainParams::enable_remote_audio_mix);
  def_field(audio_obtain_params, "output_sample_rate", &AudioObtainParams::output_sample_rate);
  def_field(audio_obtain_params, "output_channels", &AudioObtainParams::output_channels);
  def_field(audio_obtain_params, "output_frame_length_ms",
            &AudioObtainParams::output_frame_length_ms);
  def_field(audio_obtain_params, "output_audio_codec_type",
            &AudioObtainParams::output_audio_codec_type);

  py::class_<VADParams> vad_params(m, "VADParams");
  vad_params.def(py::init<>());
  def_field(vad_params, "enable", &VADParams::enable);

  py::class_<AudioFrame> audio_frame(m, "AudioFrame");
  audio_frame.def(py::init<>());
  def_field(audio_frame, "pts", &AudioFrame::pts);
  def_field(audio_frame, "sample_rate", &AudioFrame::sample_rate);
  def_field(audio_frame, "channels", &AudioFrame::channels);
  def_field(audio_frame, "bits_per_sample", &AudioFrame::bits_per_sample);
  def_field(audio_frame, "codec", &AudioFrame::codec);
  def_field(audio_frame, "has_voice", &AudioFrame::has_voice);
  audio_frame.def_property_readonly("data", &GetFrameData<AudioFrame>)
      .def("SetData", &SetFrameData<AudioFrame, &AudioFrame::SetData>)
      .def_property_readonly("size", &GetFrameSize<AudioFrame>)
      .def("SetExtraData", &SetFrameData<AudioFrame, &AudioFrame::SetExtraData>);

  py::class_<VideoFrame> video_frame(m, "VideoFrame");
  video_frame.def(py::init<>());
  def_field(video_frame, "pts", &VideoFrame::pts);
  def_field(video_frame, "dts", &VideoFrame::dts);
  def_field(video_frame, "codec", &VideoFrame::codec);
  def_field(video_frame, "is_key_frame", &VideoFrame::is_key_frame);
  def_field(video_frame, "rotation", &VideoFrame::rotation);
  video_frame.def_property_readonly("data", &GetFrameData<VideoFrame>)
      .def("SetData", &SetFrameData<VideoFrame, &VideoFrame::SetData>)
      .def_property_readonly("size", &GetFrameSize<VideoFrame>);

  py::class_<PixelFrame> pixel_frame(m, "PixelFrame");
  pixel_frame.def(py::init<>());
  def_field(pixel_frame, "pts", &PixelFrame::pts);
  def_field(pixel_frame, "format", &PixelFrame::format);
  def_field(pixel_frame, "height", &PixelFrame::height);
  def_field(pixel_frame, "width", &PixelFrame::width);
  def_field(pixel_frame, "rotation", &PixelFrame::rotation);
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
  // The callbacks' names, and the base methods that are not overrides.
  py::dict delegate_methods = m.attr("VORACloudDelegate").attr("__dict__");
  for (int id = 0; id < kCallbackCount; ++id) {
    CallbackTable& table = Callbacks();
    table.names[id] = PyUnicode_InternFromString(kCallbackNames[id]);
    PyObject* method = PyDict_GetItemString(delegate_methods.ptr(), kCallbackNames[id]);
    if (table.names[id] == nullptr || method == nullptr || !PyInstanceMethod_Check(method)) {
      throw std::runtime_error(std::string("_corvel: no base method ") + kCallbackNames[id]);
    }
    table.base_functions[id] = Py_NewRef(PyInstanceMethod_GET_FUNCTION(method));
  }

  // A child process after fork has none of the parent's other threads.
  static std::once_flag at_fork;
  std::call_once(
      at_fork, [] { pthread_atfork(nullptr, nullptr, [] { CallbackGate::AfterForkInChild(); }); });

  EngineThreadLock::Listen();

  py::module_::import("atexit").attr("register")(
      py::cpp_function(&VORACloudWrapper::EndAllEngines));
}
