/* The engine's one hook for tools that watch or drive it (the test library
 * libcorvel_probe.so, engine/probe/): plain C, exported by libcorvel.so as
 * the single function corvel_engine_hook.
 *
 *   const struct corvel_driver* corvel_engine_hook(const struct corvel_observer* observer);
 *
 * Installs `observer` (null removes it) and answers the engine's driver
 * table, which stays valid for the life of the process. Called with the same
 * observer again, it only answers the table.
 *
 * Observer. The engine calls its functions on the thread where the event
 * happens (the caller of an operation, of Create/Destroy, of a settings
 * function), after the event, with no engine lock held; they must not call
 * back into the instance concerned. Pointers in an event are valid only
 * during the call. An observer and its context must stay valid until the
 * process ends: a call already past the check may still reach a replaced
 * observer. With no observer installed, what an operation pays for the hook
 * is one atomic load.
 *
 * Driver. Instances are named by the id the engine gives each one at Create
 * (1, 2, 3, ... in creation order, never reused). Functions answering an int
 * use the codes below. Every wait is bounded by its timeout (negative: none)
 * and no driver function may be called from inside a visitor it is running.
 */
#ifndef CORVEL_HOOK_H_
#define CORVEL_HOOK_H_

#include <stddef.h>
#include <stdint.h>

#if defined(CORVEL_BUILDING_LIBRARY)
#define CORVEL_HOOK_API __attribute__((visibility("default")))
#else
#define CORVEL_HOOK_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

#define CORVEL_HOOK_VERSION 1

/* Result codes. */
#define CORVEL_HOOK_OK 0
#define CORVEL_HOOK_UNKNOWN_INSTANCE (-1)
#define CORVEL_HOOK_BAD_ARGUMENTS (-2)
#define CORVEL_HOOK_DROPPED (-3)   /* the callback queue was full */
#define CORVEL_HOOK_DISCARDED (-4) /* the instance was destroyed before delivery */
#define CORVEL_HOOK_TIMED_OUT (-5)
#define CORVEL_HOOK_OWN_DELIVERY_THREAD (-6) /* waiting there would never end */
#define CORVEL_HOOK_FIREHOSE_STATE (-7)      /* already running (start) / not running (stop) */

/* ---- events ---- */

/* Operations of VORACloud, in the order the interface declares them. */
enum corvel_op_kind {
  CORVEL_OP_ENTER_ROOM = 1, /* object: const EnterRoomParams* */
  CORVEL_OP_EXIT_ROOM,
  CORVEL_OP_SUBSCRIBE,                   /* text: user id; arg[0]: StreamType */
  CORVEL_OP_UNSUBSCRIBE,                 /* text: user id; arg[0]: StreamType */
  CORVEL_OP_GET_AUDIO_FRAME,             /* object: AudioFrame* (may be null) */
  CORVEL_OP_CREATE_LOCAL_AUDIO_CHANNEL,  /* object: const AudioEncodeParams* */
  CORVEL_OP_SEND_AUDIO_FRAME,            /* object: const AudioFrame*; extra */
  CORVEL_OP_SEND_CONTINUOUS_AUDIO_FRAME, /* as above; arg[0]: clear_send_queue */
  CORVEL_OP_DESTROY_LOCAL_AUDIO_CHANNEL,
  CORVEL_OP_CREATE_LOCAL_VIDEO_CHANNEL,  /* arg[0]: StreamType */
  CORVEL_OP_SEND_VIDEO_FRAME,            /* object: const VideoFrame*; arg[0]: StreamType */
  CORVEL_OP_SEND_PIXEL_FRAME,            /* object: const PixelFrame*; arg[0]: StreamType */
  CORVEL_OP_SET_VIDEO_ENCODE_PARAM,      /* object: const VideoEncodeParams*; arg[0]: StreamType */
  CORVEL_OP_SEND_SEI_MESSAGE,            /* text, length; arg[0]: message type */
  CORVEL_OP_SEND_CUSTOM_CMD_MSG,         /* text, length; arg[0..2]: cmd id, reliable, ordered */
  CORVEL_OP_DESTROY_LOCAL_VIDEO_CHANNEL, /* arg[0]: StreamType */
  CORVEL_OP_ENABLE_VOICE_ACTIVITY_DETECTION, /* object: const VADParams* */
  CORVEL_OP_ENABLE_AUDIO_VOLUME_EVALUATION,  /* object: const AudioVolumeEvaluateParams* */
  CORVEL_OP_START_ASR_SERVICE,               /* object: const AsrParams* */
  CORVEL_OP_STOP_ASR_SERVICE,
  CORVEL_OP_CALL_EXPERIMENTAL_API /* text: the json argument */
};

enum corvel_result_type { CORVEL_RESULT_INT = 0, CORVEL_RESULT_BOOL = 1, CORVEL_RESULT_NONE = 2 };

/* One operation, as received, with its result. Objects are the engine's
 * types of include/vora (corvel::vora::...). */
struct corvel_operation {
  uint64_t instance;
  int kind;        /* enum corvel_op_kind */
  int result_type; /* enum corvel_result_type */
  int result;      /* the int result, or 0/1 */
  const void* object;
  const char* text;
  size_t length; /* of text, where the operation takes a length */
  int64_t arg[3];
  /* Audio frames: the bytes given to SetExtraData (extra_size 0: none). */
  const uint8_t* extra;
  size_t extra_size;
};

/* One call of an OrbLiveSDK settings function. `function` is its name.
 *   SetLogPath: text[0] path, result       SetLogLevel: number[0] level
 *   EnableConsoleLog, DisableConsoleLog    DisableLogCompress / DisableLogFile: number[0]
 *   SetSocks5Proxy: text[0] ip, number[0] port, text[1] user, text[2] password, result
 *   SetEnvironment: text[0] name, result   SetWebClientFactory: number[0] the pointer */
struct corvel_setting_call {
  const char* function;
  const char* text[3];
  int64_t number[1];
  int has_result;
  int result;
};

/* Counters of one instance. */
struct corvel_counters {
  /* delivery */
  uint64_t delivered, dropped, discarded, callback_errors;
  /* media router: what the instance sent into its room... */
  uint64_t audio_sent, video_sent, messages_sent, sei_sent;
  /* ...what reached its delivery queue or pull buffer... */
  uint64_t audio_received, mixed_frames, video_received, messages_received, sei_received;
  /* ...and what was dropped on the way, by cause. */
  uint64_t lost, missed_messages, disconnected_drops, room_queue_drops, pull_drops, mixer_drops,
      pacing_drops, pacing_cleared, waiting_key_drops, undecodable_drops;
};

/* A reference to an instance's counters; they stay readable after the
 * instance is destroyed, until the reference is released. */
struct corvel_counters_ref;

struct corvel_observer {
  void* context;
  /* An instance was created. `counters` belongs to the observer (release it
   * with the driver's release_counters). */
  void (*instance_created)(void* context, uint64_t id, struct corvel_counters_ref* counters);
  /* Destroy of a live instance returned (the delegate is not called again,
   * except to finish a callback in progress on an engine thread). */
  void (*instance_destroyed)(void* context, uint64_t id);
  void (*operation)(void* context, const struct corvel_operation* operation);
  void (*setting)(void* context, const struct corvel_setting_call* call);
};

/* ---- driving ---- */

/* A callback to queue on an instance's delivery thread. invoke receives the
 * instance's delegate (corvel::vora::VORACloudDelegate*). `name` is the
 * delegate function's name (a full queue drops the media callbacks by name)
 * and must stay valid for the process. The engine owns `arg` from the call
 * that takes the callback on, whatever it answers, and calls release(arg)
 * (if not null) once no copy needs it. */
struct corvel_callback {
  const char* name;
  void (*invoke)(void* arg, void* delegate);
  void* arg;
  void (*release)(void* arg);
};

/* Simulated link of an instance to the server. */
struct corvel_link {
  uint32_t loss_ppm;       /* packets lost per million */
  uint32_t delay_ms;       /* one way */
  uint32_t bandwidth_kbps; /* 0: unlimited */
};
#define CORVEL_LINK_LOSS 1u
#define CORVEL_LINK_DELAY 2u
#define CORVEL_LINK_BANDWIDTH 4u

struct corvel_room_member {
  uint64_t id;
  const char* user_id;
  size_t user_id_size;
  uint32_t role;
  uint32_t connection; /* ConnectionState */
  int audio;           /* audio channel open */
  const int* video;    /* open video channels (StreamType) */
  size_t video_count;
  int64_t pacing_ms;    /* continuous audio waiting to be sent */
  uint64_t conversions; /* audio conversions the router keeps for it */
};

struct corvel_room {
  uint32_t sdk_app_id;
  const char* room_id; /* the text id, or the number in decimal */
  size_t room_id_size;
  int text_id;
  const struct corvel_room_member* members;
  size_t member_count;
  uint64_t delayed; /* packets held back by simulated delay */
};

struct corvel_media_state {
  int in_room;
  const struct corvel_room* room; /* null when not in a room */
  int64_t pacing_ms;
  uint64_t pending_sei;
};

struct corvel_settings {
  const char* log_directory; /* null: none set */
  size_t log_directory_size;
  int log_file_open, log_level, log_console, log_file_disabled, log_compress_disabled;
  uint64_t log_rotate_bytes, log_file_bytes, log_rotations;
  int has_proxy;
  const char* proxy_host;
  size_t proxy_host_size;
  uint16_t proxy_port;
  const char* proxy_username; /* null: none */
  const char* proxy_password;
  const char* environment;
  uintptr_t web_client_factory;
};

struct corvel_engine_counts {
  uint64_t creates;  /* calls of Create, null answers included */
  uint64_t destroys; /* calls of Destroy with a non-null pointer */
  uint64_t live;
  uint64_t last_id; /* 0 before the first instance */
  uint64_t dropped; /* callbacks dropped on full queues, all instances */
  uint64_t callback_errors;
  uint64_t delivery_threads; /* pool threads running now */
};

struct corvel_driver {
  uint32_t version; /* CORVEL_HOOK_VERSION */

  /* ---- instances ---- */
  void (*engine_counts)(struct corvel_engine_counts* out);
  /* Writes up to `capacity` live ids in ascending order; answers how many
   * there are. */
  size_t (*live_ids)(uint64_t* out, size_t capacity);
  int (*is_live)(uint64_t id);
  /* The next Create answers null. */
  void (*fail_next_create)(void);
  /* Callback queue capacity of instances created afterwards (0: 4096). */
  void (*set_queue_capacity)(uint64_t capacity);
  /* Counters of a live instance (null for another id); release when done. */
  struct corvel_counters_ref* (*counters_of)(uint64_t id);
  void (*read_counters)(const struct corvel_counters_ref* ref, struct corvel_counters* out);
  void (*release_counters)(struct corvel_counters_ref* ref);

  /* ---- delivery ---- */
  /* Queues the callback and waits for it: OK, UNKNOWN_INSTANCE, DROPPED,
   * DISCARDED, TIMED_OUT, OWN_DELIVERY_THREAD. */
  int (*post_and_wait)(uint64_t id, const struct corvel_callback* callback, int timeout_ms);
  /* Queues `count` copies; answers how many were queued, or UNKNOWN_INSTANCE. */
  int64_t (*post_many)(uint64_t id, const struct corvel_callback* callback, uint64_t count);
  /* An engine thread that keeps queueing the callback, pausing interval_us
   * between two (0: yields), until stopped or the instance is destroyed. */
  int (*firehose_start)(uint64_t id, const struct corvel_callback* callback, uint32_t interval_us);
  /* Stops it and answers how many it queued, or a code. */
  int64_t (*firehose_stop)(uint64_t id);
  /* Until the queue is empty and no callback runs: OK or TIMED_OUT. */
  int (*wait_idle)(uint64_t id, int timeout_ms);
  int (*queue_state)(uint64_t id, uint64_t* depth, uint64_t* capacity);
  /* The delegate of a live instance (null for another id). */
  void* (*delegate_of)(uint64_t id);

  /* ---- rooms ---- */
  /* Sets the fields named by `mask` (CORVEL_LINK_*). */
  int (*set_link)(uint64_t id, const struct corvel_link* link, unsigned mask);
  int (*get_link)(uint64_t id, struct corvel_link* out);
  /* Drops the connection for duration_ms: OK, UNKNOWN_INSTANCE, or
   * BAD_ARGUMENTS when not in a room. */
  int (*disconnect)(uint64_t id, int duration_ms);
  /* The server reports `code` through OnError (banned and suspended also
   * remove the instance from its room). */
  int (*server_error)(uint64_t id, int code);
  /* Visits the instance's room state (OK), or UNKNOWN_INSTANCE. */
  int (*visit_media_state)(uint64_t id,
                           void (*visit)(void* context, const struct corvel_media_state* state),
                           void* context);
  void (*visit_rooms)(void (*visit)(void* context, const struct corvel_room* room), void* context);
  /* Interval of OnNetworkQuality (0: 2000 ms); how long a mixer waits for a
   * late sender (0: 60 ms). */
  void (*set_quality_interval_ms)(uint32_t ms);
  void (*set_mix_wait_ms)(uint32_t ms);

  /* ---- settings and log ---- */
  void (*visit_settings)(void (*visit)(void* context, const struct corvel_settings* settings),
                         void* context);
  /* Every setting back to its default; the log file closed. */
  void (*reset_settings)(void);
  /* Size past which corvel.log is rotated (0: 4 MiB). */
  void (*set_log_rotate_bytes)(uint64_t bytes);
  void (*flush_log)(void);
  /* One line through the engine log at `level` (0..5). */
  void (*log)(int level, const char* message);
};

CORVEL_HOOK_API const struct corvel_driver* corvel_engine_hook(
    const struct corvel_observer* observer);

#ifdef __cplusplus
}
#endif

#endif /* CORVEL_HOOK_H_ */
