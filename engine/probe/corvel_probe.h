/* Inspection interface of libcorvel_probe.so, for tests only (the Python module does
 * not use it). Plain C, made to be called through ctypes.
 *
 * Instances are named by the 64-bit id the engine gives each one at Create
 * (1, 2, 3, ... in creation order; never reused).
 *
 * Strings returned as char* are JSON texts allocated with malloc; release them
 * with corvel_inspect_free. Byte strings inside those texts (user ids,
 * messages, payloads, paths) are lowercase hex under keys ending in "_hex",
 * with null standing for a null pointer.
 *
 * Result codes of the injection functions:
 *    0  delivered (corvel_inspect_fire) / done
 *   -1  no live instance with that id
 *   -2  bad slot or bad arguments (see corvel_inspect_last_error)
 *   -3  dropped: the instance's callback queue was full
 *   -4  discarded: the instance was destroyed before delivery
 *   -5  timed out (the callback is still queued or running)
 *   -6  refused: called on the instance's own delivery thread, where waiting
 *       would never end
 *   -7  firehose already running (start) or not running (stop)
 *
 * Simulated conditions (rooms between instances, see engine/README.md) and
 * the media router's counters are at the end.
 */
#ifndef CORVEL_INSPECT_H_
#define CORVEL_INSPECT_H_

#include <stddef.h>
#include <stdint.h>

#if defined(CORVEL_BUILDING_PROBE)
#define CORVEL_INSPECT_API __attribute__((visibility("default")))
#else
#define CORVEL_INSPECT_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Version of this interface (currently 2: rooms, simulated network, router
 * counters). */
CORVEL_INSPECT_API int corvel_inspect_version(void);

CORVEL_INSPECT_API void corvel_inspect_free(char* text);

/* Reason for the last -2 returned on this thread ("" if none). Valid until the
 * next inspection call on the same thread. */
CORVEL_INSPECT_API const char* corvel_inspect_last_error(void);

/* ---- instances ---- */

/* Calls of VORACloud::Create, including those that answered null. */
CORVEL_INSPECT_API uint64_t corvel_inspect_create_count(void);
/* Calls of VORACloud::Destroy with a non-null pointer. */
CORVEL_INSPECT_API uint64_t corvel_inspect_destroy_count(void);
CORVEL_INSPECT_API uint64_t corvel_inspect_live_instances(void);
/* Id of the most recently created instance (0 before the first). */
CORVEL_INSPECT_API uint64_t corvel_inspect_last_instance(void);
/* The next Create answers null. */
CORVEL_INSPECT_API void corvel_inspect_fail_next_create(void);
CORVEL_INSPECT_API int corvel_inspect_is_live(uint64_t id);
/* JSON list of the live instance ids, ascending. */
CORVEL_INSPECT_API char* corvel_inspect_live_ids_json(void);
/* Callback queue capacity for instances created afterwards; 0 restores the
 * default of 4096. */
CORVEL_INSPECT_API void corvel_inspect_set_queue_capacity(uint64_t capacity);

/* ---- settings and log ---- */

/* {"log": {"directory_hex", "file_open", "level", "console", "file_disabled",
 *          "compress_disabled", "rotate_bytes", "file_bytes", "rotations"},
 *  "proxy": null | {"ip_hex", "port", "username_hex", "password_hex"},
 *  "environment": "production" | "staging" | "test" | "loopback",
 *  "web_client_factory": <pointer as integer>,
 *  "last_calls": {<function>: {<raw arguments>, "result"?}},
 *  "call_counts": {<function>: n}}
 * last_calls holds, per OrbLiveSDK function, the arguments of its last call:
 *   SetLogPath {path_hex, result}, SetLogLevel {level},
 *   EnableConsoleLog {}, DisableConsoleLog {}, DisableLogCompress {disabled},
 *   DisableLogFile {disabled}, SetSocks5Proxy {ip_hex, port, username_hex,
 *   password_hex, result}, SetEnvironment {env_hex, result},
 *   SetWebClientFactory {factory}. */
CORVEL_INSPECT_API char* corvel_inspect_settings_json(void);
/* All settings back to their defaults; last-call records forgotten; the log
 * file is closed. */
CORVEL_INSPECT_API void corvel_inspect_reset_settings(void);
/* Size past which corvel.log is rotated; 0 restores 4 MiB. */
CORVEL_INSPECT_API void corvel_inspect_set_log_rotate_bytes(uint64_t bytes);
CORVEL_INSPECT_API void corvel_inspect_flush_log(void);
/* Writes one line through the engine log at `level` (0..5). */
CORVEL_INSPECT_API void corvel_inspect_log(int level, const char* message);

/* ---- operations received ---- */

/* JSON list of the operations instance `id` received, in call order, each
 * {"seq", "op", <arguments>, "result"}; null for an unknown id. Records stay
 * readable after Destroy (for the 256 most recently destroyed instances). */
CORVEL_INSPECT_API char* corvel_inspect_calls_json(uint64_t id);
CORVEL_INSPECT_API int corvel_inspect_clear_calls(uint64_t id);

/* ---- callback injection ----
 * slot: 1..25, the delegate callbacks in declaration order (15 is the
 * VideoFrame form of OnRemoteVideoReceived, 16 the PixelFrame form).
 * args_json: a JSON object with the callback's arguments by parameter name
 * (null or "" for all defaults); see engine/README.md. */

/* Queues the callback and waits until it has run (timeout_ms < 0: no limit). */
CORVEL_INSPECT_API int corvel_inspect_fire(uint64_t id, int slot, const char* args_json,
                                           int timeout_ms);
/* Queues `count` copies without waiting; answers how many were queued (the
 * rest were dropped) or a negative code. */
CORVEL_INSPECT_API int64_t corvel_inspect_fire_many(uint64_t id, int slot, const char* args_json,
                                                    uint64_t count);
/* Starts an engine thread that keeps queueing the callback, pausing
 * interval_us between two (0: only yields), until stopped or the instance is
 * destroyed. */
CORVEL_INSPECT_API int corvel_inspect_firehose_start(uint64_t id, int slot, const char* args_json,
                                                     uint32_t interval_us);
/* Stops it; answers how many callbacks it queued, or a negative code. */
CORVEL_INSPECT_API int64_t corvel_inspect_firehose_stop(uint64_t id);
/* Waits until the queue is empty and no callback runs: 0, or -5 on timeout. */
CORVEL_INSPECT_API int corvel_inspect_wait_idle(uint64_t id, int timeout_ms);
/* Starts a thread of the engine's own, outside the instance's delivery, that
 * calls the callback once on the instance's delegate and then waits to be
 * joined; answers once the callback has run. One such thread at a time; the
 * instance must outlive it. */
CORVEL_INSPECT_API int corvel_inspect_side_thread_start(uint64_t id, int slot,
                                                        const char* args_json);
/* Ends and joins that thread: 0, or -2 when none runs. */
CORVEL_INSPECT_API int corvel_inspect_side_thread_join(void);

/* ---- delivery counters ---- */

/* Callbacks dropped because the queue of `id` was full (-1: unknown id). */
CORVEL_INSPECT_API int64_t corvel_inspect_dropped(uint64_t id);
CORVEL_INSPECT_API uint64_t corvel_inspect_dropped_total(void);
/* {"id", "live", "delivered", "dropped", "discarded", "callback_errors",
 *  "queue_depth", "queue_capacity", "omitted_calls"} for one instance, or for
 * id 0 the totals {"creates", "destroys", "live", "dropped",
 * "callback_errors"}; null for an unknown id. callback_errors counts
 * exceptions caught from delegate callbacks. */
CORVEL_INSPECT_API char* corvel_inspect_stats_json(uint64_t id);

/* ---- rooms and the media router ---- */

/* Simulated network of instance `id` (its link to the server), as a JSON
 * object with any of: "loss" (fraction 0..1 of packets lost), "delay_ms"
 * (one-way, 0..60000), "bandwidth_kbps" (0: unlimited). Keys not given keep
 * their value. Applies to what the instance sends and receives; a packet
 * between two instances crosses both links. 0, -1, or -2 (bad JSON, unknown
 * key, out of range). */
CORVEL_INSPECT_API int corvel_inspect_set_conditions(uint64_t id, const char* json);
/* {"loss", "delay_ms", "bandwidth_kbps"}; null for an unknown id. */
CORVEL_INSPECT_API char* corvel_inspect_conditions_json(uint64_t id);
/* Drops the instance's connection for duration_ms (1..600000): it sees
 * CONNECTED -> DISCONNECTED -> CONNECTING now and CONNECTING -> CONNECTED
 * when the engine has reconnected. 0, -1, or -2 (not in a room, bad
 * duration). */
CORVEL_INSPECT_API int corvel_inspect_disconnect(uint64_t id, int duration_ms);
/* The server reports `code` to the instance through OnError. ERR_BANNED_BY_SERVER
 * (-205) and ERR_SERVICE_SUSPENDED (-100013) also remove it from its room.
 * 0 or -1. */
CORVEL_INSPECT_API int corvel_inspect_server_error(uint64_t id, int code);
/* Router counters of one instance (readable after Destroy):
 * {"id", "live", "audio_sent", "video_sent", "messages_sent", "sei_sent",
 *  "audio_received", "mixed_frames", "video_received", "messages_received",
 *  "sei_received", "lost", "missed_messages", "disconnected_drops",
 *  "room_queue_drops", "pull_drops", "mixer_drops", "pacing_drops",
 *  "pacing_cleared", "waiting_key_drops", "undecodable_drops",
 *  "callback_drops", "state": null | {"in_room", "room", "pacing_ms",
 *  "pending_sei"}}; null for an unknown id. */
CORVEL_INSPECT_API char* corvel_inspect_media_json(uint64_t id);
/* JSON list of the rooms: {"sdk_app_id", "room_hex", "text_id", "members":
 * [{"id", "user_id_hex", "role", "connection", "audio", "video",
 * "pacing_ms", "conversions"}], "delayed"}. */
CORVEL_INSPECT_API char* corvel_inspect_rooms_json(void);
/* Interval of OnNetworkQuality (0 restores 2000 ms); rooms pick it up after
 * their next report. */
CORVEL_INSPECT_API void corvel_inspect_set_quality_interval_ms(uint32_t ms);
/* How long a mixer waits for a late sender before mixing without it (0
 * restores 60 ms). */
CORVEL_INSPECT_API void corvel_inspect_set_mix_wait_ms(uint32_t ms);

#ifdef __cplusplus
}
#endif

#endif /* CORVEL_INSPECT_H_ */
