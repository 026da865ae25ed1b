// Cloud itself: lifetime (start, shutdown from any thread), delivery, leaving
// the room and noticing an eviction, the analysis and extension operations,
// the simulated conditions driven through the hook, and the firehose. The
// room and media operations are in cloud_room.cpp and cloud_media.cpp.
#include "cloud.h"

#include <thread>

#include "cloud_checks.h"
#include "fork.h"
#include "hook.h"
#include "log.h"
#include "status.h"

namespace corvel::engine {

using namespace corvel::vora;
using namespace cloud_checks;

Cloud::Cloud(uint64_t id, VORACloudDelegate* delegate, size_t queue_capacity,
             std::shared_ptr<InstanceCounters> counters)
    : id_(id),
      generation_(ForkGeneration()),
      counters_(counters),
      dispatcher_(delegate, queue_capacity, std::move(counters)) {}

bool Cloud::Inert(const char* op) const {
  if (generation_ == ForkGeneration()) return false;
  Refuse(id_, "%s refused: the instance belongs to the parent process (made before fork())", op);
  return true;
}

Cloud::~Cloud() {
  // Shutdown has run; stopping twice is harmless.
  StopFirehose();
  while (active_ops_.load(std::memory_order_acquire) != 0) std::this_thread::yield();
}

void Cloud::Start() { dispatcher_.Start(); }

void Cloud::Shutdown() {
  {
    std::shared_ptr<RoomSession> session;
    {
      std::lock_guard<std::mutex> lock(mu_);
      shutting_down_ = true;
      session = LeaveLocked(kExitReasonLeft, nullptr);
    }
  }
  StopFirehose();
  dispatcher_.Stop();
}

bool Cloud::ShutdownOnEngineThread(std::shared_ptr<Cloud>& self) {
  {
    std::shared_ptr<RoomSession> session;
    {
      std::lock_guard<std::mutex> lock(mu_);
      shutting_down_ = true;
      session = LeaveLocked(kExitReasonLeft, nullptr);
    }
  }
  StopFirehose();
  std::shared_ptr<void> owner = self;
  self.reset();
  const bool detached = dispatcher_.StopOnEngineThread(owner);
  if (!detached) self = std::static_pointer_cast<Cloud>(owner);
  return detached;
}

Dispatcher::PostResult Cloud::PostCallback(Task task) { return dispatcher_.Post(std::move(task)); }

Dispatcher::PostResult Cloud::PostCallbacks(std::vector<Task>& tasks) {
  return dispatcher_.PostAll(tasks);
}

void Cloud::PostLocked(const char* name, DelegateCall call) {
  Task task;
  task.name = name;
  task.call = std::move(call);
  dispatcher_.Post(std::move(task));
}

std::shared_ptr<RoomSession> Cloud::LeaveLocked(int reason, ConnectionState* state) {
  if (!session_) return nullptr;
  std::shared_ptr<RoomSession> session = std::move(session_);
  DropSendStateLocked();
  session->Leave(reason, state);
  return session;
}

void Cloud::SyncEvictionLocked() {
  if (!session_ || !session_->Evicted()) return;
  // The room has already told the delegate (OnExitRoom and the rest).
  LOG_INFO("instance %llu: removed from its room", U(id_));
  room_ = RoomState{};
  room_.connection = CONNECTION_STATE_DISCONNECTED;
  session_.reset();
  DropSendStateLocked();
}

// Forgets what the instance kept for the session it had: audio waiting to
// be sent, its Opus decoder, SEI waiting for a frame, frames not yet pulled.
void Cloud::DropSendStateLocked() {
  pacer_.reset();
  opus_in_.reset();
  pending_sei_.clear();
  pull_->Clear();
}

// ---- analysis and extensions ----

void Cloud::EnableVoiceActivityDetection(const VADParams& params) {
  OpScope scope(*this);
  if (Inert("EnableVoiceActivityDetection")) return;
  {
    std::lock_guard<std::mutex> lock(mu_);
    SyncEvictionLocked();
    vad_ = params;
    if (session_) session_->SetVad(params.enable);
  }
  if (const corvel_observer* o = Observer())
    Report(o, id_, CORVEL_OP_ENABLE_VOICE_ACTIVITY_DETECTION, CORVEL_RESULT_NONE, 0, &params);
  LOG_INFO("instance %llu: voice activity detection %s", U(id_), params.enable ? "on" : "off");
}

int Cloud::EnableAudioVolumeEvaluation(const AudioVolumeEvaluateParams& params) {
  OpScope scope(*this);
  if (Inert("EnableAudioVolumeEvaluation")) return ERR_INVALID_OPERATION;
  {
    std::lock_guard<std::mutex> lock(mu_);
    volume_interval_ms_ = params.interval;
  }
  if (const corvel_observer* o = Observer())
    Report(o, id_, CORVEL_OP_ENABLE_AUDIO_VOLUME_EVALUATION, CORVEL_RESULT_INT, ERR_OK, &params);
  LOG_INFO("instance %llu: volume evaluation interval %u ms", U(id_), params.interval);
  return ERR_OK;
}

int Cloud::startAsrService(const AsrParams& params) {
  OpScope scope(*this);
  if (Inert("startAsrService")) return ERR_INVALID_OPERATION;
  // This engine has no speech recognizer.
  const int result = params.sourceLanguage ? ERR_NOT_SUPPORTED : ERR_INVALID_PARAMETER;
  Refuse(id_, params.sourceLanguage
                  ? "startAsrService refused: this engine has no speech recognizer"
                  : "startAsrService refused: sourceLanguage is null");
  if (const corvel_observer* o = Observer())
    Report(o, id_, CORVEL_OP_START_ASR_SERVICE, CORVEL_RESULT_INT, result, &params);
  LOG_INFO("instance %llu: startAsrService %s -> %d", U(id_),
           LogText(params.sourceLanguage).c_str(), result);
  return result;
}

int Cloud::stopAsrService() {
  OpScope scope(*this);
  if (Inert("stopAsrService")) return ERR_INVALID_OPERATION;
  Refuse(id_, "stopAsrService refused: this engine has no speech recognizer");
  if (const corvel_observer* o = Observer())
    Report(o, id_, CORVEL_OP_STOP_ASR_SERVICE, CORVEL_RESULT_INT, ERR_NOT_SUPPORTED);
  LOG_INFO("instance %llu: stopAsrService -> %d", U(id_), ERR_NOT_SUPPORTED);
  return ERR_NOT_SUPPORTED;
}

int Cloud::CallExperimentalAPI(const char* json) {
  OpScope scope(*this);
  if (Inert("CallExperimentalAPI")) return ERR_INVALID_OPERATION;
  const int result = json ? ERR_NOT_SUPPORTED : ERR_INVALID_PARAMETER;
  Refuse(id_, json ? "CallExperimentalAPI refused: no experimental API in this engine"
                   : "CallExperimentalAPI refused: json is null");
  if (const corvel_observer* o = Observer())
    Report(o, id_, CORVEL_OP_CALL_EXPERIMENTAL_API, CORVEL_RESULT_INT, result, nullptr, json);
  LOG_INFO("instance %llu: CallExperimentalAPI %s -> %d", U(id_), LogText(json).c_str(), result);
  return result;
}

// ---- simulated conditions ----

void Cloud::ConditionsChanged() {
  std::lock_guard<std::mutex> lock(mu_);
  SyncEvictionLocked();
  if (session_) session_->ConditionsChanged();
}

bool Cloud::SimulateDisconnect(std::chrono::milliseconds duration) {
  std::lock_guard<std::mutex> lock(mu_);
  SyncEvictionLocked();
  if (!session_) return false;
  LOG_INFO("instance %llu: simulated disconnection for %lld ms", U(id_),
           static_cast<long long>(duration.count()));
  return session_->Disconnect(duration);
}

void Cloud::SimulateServerError(int code) {
  std::lock_guard<std::mutex> lock(mu_);
  SyncEvictionLocked();
  LOG_WARNING("instance %llu: simulated server error %d", U(id_), code);
  if (session_ && (code == ERR_BANNED_BY_SERVER || code == ERR_SERVICE_SUSPENDED)) {
    session_->Evict(kExitReasonRemoved, code);
    SyncEvictionLocked();
    return;
  }
  const auto error = static_cast<Error>(code);
  PostLocked("OnError", [error](VORACloudDelegate& d) { d.OnError(error); });
}

void Cloud::VisitMediaState(void (*visit)(void*, const corvel_media_state*), void* context) {
  std::shared_ptr<RoomSession> session;
  corvel_media_state state{};
  {
    std::lock_guard<std::mutex> lock(mu_);
    SyncEvictionLocked();
    state.in_room = room_.in_room;
    state.pacing_ms = pacer_ ? static_cast<int64_t>(pacer_->QueuedMs()) : 0;
    state.pending_sei = pending_sei_.size();
    session = session_;
  }
  if (!session) {
    visit(context, &state);
    return;
  }
  struct Both {
    corvel_media_state* state;
    void (*visit)(void*, const corvel_media_state*);
    void* context;
  } both{&state, visit, context};
  session->Describe(
      [](void* c, const corvel_room* described) {
        auto* b = static_cast<Both*>(c);
        b->state->room = described;
        b->visit(b->context, b->state);
      },
      &both);
}

// ---- firehose ----

bool Cloud::StartFirehose(Task prototype, std::chrono::microseconds interval) {
  std::lock_guard<std::mutex> lock(firehose_mu_);
  if (firehose_.joinable()) return false;
  firehose_stop_.store(false);
  firehose_count_.store(0);
  LOG_DEBUG("instance %llu: firehose of %s started", U(id_), prototype.name);
  firehose_ = std::thread(&Cloud::FirehoseLoop, this, std::move(prototype), interval);
  return true;
}

std::optional<uint64_t> Cloud::StopFirehose() {
  std::lock_guard<std::mutex> lock(firehose_mu_);
  if (!firehose_.joinable()) return std::nullopt;
  firehose_stop_.store(true);
  firehose_.join();
  LOG_DEBUG("instance %llu: firehose stopped after %llu callbacks", U(id_),
            U(firehose_count_.load()));
  return firehose_count_.load();
}

void Cloud::FirehoseLoop(Task prototype, std::chrono::microseconds interval) {
  MarkEngineThread();
  while (!firehose_stop_.load(std::memory_order_relaxed)) {
    Task task;
    task.name = prototype.name;
    task.call = prototype.call;
    const Dispatcher::PostResult posted = dispatcher_.Post(std::move(task));
    if (posted == Dispatcher::PostResult::kClosed) break;
    if (posted == Dispatcher::PostResult::kQueued) {
      firehose_count_.fetch_add(1, std::memory_order_relaxed);
    }
    if (interval.count() > 0) {
      std::this_thread::sleep_for(interval);
    } else {
      std::this_thread::yield();
    }
  }
}

}  // namespace corvel::engine
