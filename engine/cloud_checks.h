// What every Cloud operation shares: the argument checks (each refusal
// logged with its reason) and the report of an operation to the hook's
// observer.
//
// Locking: none; pure functions of their arguments (Refuse keeps the reason
// for the calling thread).
#ifndef CORVEL_ENGINE_CLOUD_CHECKS_H_
#define CORVEL_ENGINE_CLOUD_CHECKS_H_

#include <cstddef>
#include <cstdint>

#include "corvel_hook.h"
#include "vora/corvel_vora_cloud.h"

namespace corvel::engine::cloud_checks {

inline constexpr size_t kMaxSeiBytes = 4096;

inline unsigned long long U(uint64_t v) { return static_cast<unsigned long long>(v); }
inline bool Empty(const char* text) { return !text || !*text; }

// Hands an operation to the hook's observer (`o` not null).
void Report(const corvel_observer* o, uint64_t id, corvel_op_kind kind, corvel_result_type type,
            int result, const void* object = nullptr, const char* text = nullptr, size_t length = 0,
            int64_t a0 = 0, int64_t a1 = 0, int64_t a2 = 0);
void ReportAudio(const corvel_observer* o, uint64_t id, corvel_op_kind kind, int result,
                 const vora::AudioFrame& frame, int64_t a0 = 0);

bool IsSampleRate(int rate);
bool IsLocalVideoType(vora::StreamType type);
bool IsSubscribableType(vora::StreamType type);
bool ValidAudioEncodeParams(const vora::AudioEncodeParams& p);
// PCM must be whole 16-bit samples for every channel. Encoded audio has a
// plausible format but this engine carries no codec. `max_ms` bounds how much
// audio one frame may carry (0: no bound).
int CheckAudioFrame(uint64_t id, const char* op, const vora::AudioFrame& f, int max_ms);
// How remote audio is handed over: ERR_OK, ERR_INVALID_PARAMETER for an
// unknown method or format, ERR_NOT_SUPPORTED for an encoded output.
int CheckObtainParams(uint64_t id, const vora::AudioObtainParams& a);
bool ValidVideoFrame(uint64_t id, const vora::VideoFrame& f);
bool ValidPixelFrame(uint64_t id, const vora::PixelFrame& f);

}  // namespace corvel::engine::cloud_checks

#endif  // CORVEL_ENGINE_CLOUD_CHECKS_H_
