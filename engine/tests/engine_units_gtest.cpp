// Unit tests of the engine library through its public headers and the
// inspection interface: value types, frames, settings and the log, operation
// results and records, and callback injection.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "corvel_premier.h"
#include "corvel_probe.h"
#include "recording_delegate.h"

using namespace corvel::vora;
using corvel::live::OrbLiveSDK;
using corvel_test::RecordingDelegate;
namespace fs = std::filesystem;

namespace {

std::string Take(char* json) {
  EXPECT_NE(json, nullptr);
  if (json == nullptr) return {};
  std::string out(json);
  corvel_inspect_free(json);
  return out;
}

bool Contains(const std::string& haystack, const std::string& needle) {
  return haystack.find(needle) != std::string::npos;
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

fs::path MakeTempDir() {
  char tmpl[] = "/tmp/corvel_units_XXXXXX";
  EXPECT_NE(mkdtemp(tmpl), nullptr);
  return tmpl;
}

EnterRoomParams ValidParams() {
  EnterRoomParams p;
  p.room.sdk_app_id = 7;
  p.room.user_id = "alice";
  p.room.user_sig = "sig";
  p.room.room_id = 1;
  return p;
}

// A live instance with a recording delegate, destroyed at scope end.
struct Instance {
  RecordingDelegate delegate;
  VORACloud* cloud = nullptr;
  uint64_t id = 0;
  Instance() {
    cloud = VORACloud::Create(&delegate);
    EXPECT_NE(cloud, nullptr);
    id = corvel_inspect_last_instance();
  }
  ~Instance() { VORACloud::Destroy(cloud); }
  std::string calls() { return Take(corvel_inspect_calls_json(id)); }
  void Settle() { ASSERT_EQ(corvel_inspect_wait_idle(id, 5000), 0); }
};

// ---- value types ----

TEST(EngineUnits, VoraString) {
  VoraString empty;
  ASSERT_TRUE(empty.GetValue() != nullptr && std::strcmp(empty.GetValue(), "") == 0);
  VoraString none(nullptr);
  ASSERT_TRUE(none.GetValue() == nullptr);
  VoraString none_copy(none);
  ASSERT_TRUE(none_copy.GetValue() == nullptr);

  char buffer[] = "abc";
  VoraString s(buffer);
  buffer[0] = 'x';  // owns its copy
  ASSERT_TRUE(std::strcmp(s.GetValue(), "abc") == 0);
  VoraString copy(s);
  s.SetValue("changed");
  ASSERT_TRUE(std::strcmp(copy.GetValue(), "abc") == 0);
  copy = copy;  // self-assignment
  ASSERT_TRUE(std::strcmp(copy.GetValue(), "abc") == 0);
  copy = copy.GetValue() + 1;  // from its own text
  ASSERT_TRUE(std::strcmp(copy.GetValue(), "bc") == 0);
  copy = none;
  ASSERT_TRUE(copy.GetValue() == nullptr);
  copy = "x";
  copy.SetValue(nullptr);
  ASSERT_TRUE(copy.GetValue() == nullptr);
}

TEST(EngineUnits, VoraBufferAndRecords) {
  VoraBuffer b;
  ASSERT_EQ(b.size(), 0u);
  const uint8_t bytes[] = {1, 2, 3};
  b.SetData(bytes, 3);
  VoraBuffer c(b);
  b.SetSize(5);
  ASSERT_EQ(b.size(), 5u);
  ASSERT_TRUE(b.cdata()[2] == 3 && b.cdata()[4] == 0);
  ASSERT_EQ(c.size(), 3u);
  c = c;
  ASSERT_EQ(c.size(), 3u);
  b.SetData(nullptr, 10);
  ASSERT_EQ(b.size(), 0u);

  RoomParams room;
  ASSERT_TRUE(room.sdk_app_id == 0 && room.room_id == 0 && room.custom_data == nullptr);
  ASSERT_TRUE(std::strcmp(room.user_id.GetValue(), "") == 0);
  ASSERT_TRUE(std::strcmp(room.str_room_id.GetValue(), "") == 0);
  ASSERT_TRUE(room.decryption_delegate == nullptr && room.encryption_delegate == nullptr);
  EnterRoomParams enter;
  ASSERT_TRUE(enter.scene == VORA_SCENE_VIDEO_CALL && enter.role == VORA_ROLE_ANCHOR);
  ASSERT_TRUE(std::strcmp(enter.private_map_key.GetValue(), "") == 0);
  ASSERT_TRUE(!enter.use_pixel_frame_input && !enter.use_pixel_frame_output);
  ASSERT_TRUE(enter.audio_obtain_params.output_sample_rate == 16000);
  room.user_id = "u";
  RoomParams copied(room);
  room.user_id = "v";
  ASSERT_TRUE(std::strcmp(copied.user_id.GetValue(), "u") == 0);
  EncryptionData enc;
  ASSERT_TRUE(enc.room_id == 0 && enc.decrypted == nullptr && enc.encrypted == nullptr);
}

template <typename Frame>
void CheckPayloadSemantics() {
  Frame f;
  ASSERT_EQ(f.size(), 0u);
  ASSERT_TRUE(f.data() != nullptr);
  uint8_t src[] = {'a', 'b', 'c'};
  f.SetData(src, 3);
  src[0] = 'z';  // SetData copied
  ASSERT_TRUE(f.size() == 3 && std::memcmp(f.data(), "abc", 3) == 0);
  Frame copy(f);
  Frame assigned;
  assigned = f;
  const uint8_t next[] = {'x', 'y'};
  f.SetData(next, 2);  // copies keep the old payload
  ASSERT_TRUE(copy.size() == 3 && std::memcmp(copy.data(), "abc", 3) == 0);
  ASSERT_TRUE(assigned.size() == 3 && std::memcmp(assigned.data(), "abc", 3) == 0);
  { Frame temp(copy); }  // destroying a sharer leaves the others intact
  ASSERT_TRUE(std::memcmp(copy.data(), "abc", 3) == 0);
  copy = copy;
  ASSERT_EQ(copy.size(), 3u);
  f.SetData(nullptr, 99);  // null with a size is an empty payload
  ASSERT_EQ(f.size(), 0u);
  f.SetData(next, 0);
  ASSERT_EQ(f.size(), 0u);
}

TEST(EngineUnits, Frames) {
  AudioFrame a;
  ASSERT_TRUE(a.sample_rate == 48000 && a.channels == 1 && a.bits_per_sample == 16);
  ASSERT_TRUE(a.codec == AUDIO_CODEC_TYPE_PCM && a.pts == 0 && !a.has_voice);
  VideoFrame v;
  ASSERT_TRUE(v.pts == 0 && v.dts == 0 && !v.is_key_frame && v.codec == VIDEO_CODEC_TYPE_H264 &&
              v.rotation == VIDEO_ROTATION_0);
  PixelFrame p;
  ASSERT_TRUE(p.width == 0 && p.height == 0 && p.format == VIDEO_PIXEL_FORMAT_YUV420p &&
              p.rotation == VIDEO_ROTATION_0);
  CheckPayloadSemantics<AudioFrame>();
  CheckPayloadSemantics<VideoFrame>();
  CheckPayloadSemantics<PixelFrame>();
  // Extra data does not disturb the main payload, and survives SetData.
  const uint8_t data[] = {1, 2};
  const uint8_t extra[] = {9, 9, 9};
  a.SetData(data, 2);
  a.SetExtraData(extra, 3);
  ASSERT_EQ(a.size(), 2u);
  a.SetData(data, 1);
  ASSERT_EQ(a.size(), 1u);
}

// ---- settings and log ----

TEST(EngineUnits, ProxyAndEnvironment) {
  corvel_inspect_reset_settings();
  struct Case {
    const char* ip;
    unsigned short port;
    const char* user;
    const char* password;
    bool ok;
  };
  const std::string long_label(64, 'a');
  std::string long_name;
  while (long_name.size() < 254) long_name += "abcdefghi.";
  long_name += "com";
  const Case cases[] = {
      {"127.0.0.1", 1080, nullptr, nullptr, true},
      {"::1", 65535, "", "", true},
      {"fe80::1:2", 1, "u", "p", true},
      {"proxy.example-1.com", 1080, "u", "p", true},
      {"localhost", 9050, nullptr, nullptr, true},
      {"127.0.0.1", 0, nullptr, nullptr, false},
      {nullptr, 1080, nullptr, nullptr, false},
      {"", 1080, nullptr, nullptr, false},
      {"256.1.1.1", 1080, nullptr, nullptr, false},
      {"1.2.3", 1080, nullptr, nullptr, false},
      {"-bad.com", 1080, nullptr, nullptr, false},
      {"bad-.com", 1080, nullptr, nullptr, false},
      {"a..b", 1080, nullptr, nullptr, false},
      {"under_score.com", 1080, nullptr, nullptr, false},
      {"host name", 1080, nullptr, nullptr, false},
      {long_label.c_str(), 1080, nullptr, nullptr, false},
      {long_name.c_str(), 1080, nullptr, nullptr, false},
      {"127.0.0.1", 1080, "u", nullptr, false},
      {"127.0.0.1", 1080, "", "p", false},
  };
  for (const Case& c : cases) {
    if (OrbLiveSDK::SetSocks5Proxy(c.ip, c.port, c.user, c.password) != c.ok) {
      std::fprintf(stderr, "proxy case %s:%u\n", c.ip ? c.ip : "(null)", c.port);
      ASSERT_TRUE(false);
    }
  }
  // The last accepted proxy (localhost:9050) is kept; refusals store nothing,
  // while last_calls holds the raw arguments of the final (refused) call.
  std::string s = Take(corvel_inspect_settings_json());
  ASSERT_TRUE(Contains(s,
                       "\"proxy\":{\"ip_hex\":\"6c6f63616c686f7374\",\"port\":9050,"
                       "\"username_hex\":null,\"password_hex\":null}"));
  ASSERT_TRUE(Contains(s,
                       "\"SetSocks5Proxy\":{\"ip_hex\":\"3132372e302e302e31\",\"port\":1080,"
                       "\"username_hex\":\"\",\"password_hex\":\"70\",\"result\":false}"));

  const std::pair<const char*, bool> envs[] = {
      {"production", true},  {"staging", true}, {"test", true},   {"loopback", true},
      {"Production", false}, {"", false},       {nullptr, false}, {"loopback ", false},
  };
  for (const auto& [name, ok] : envs) ASSERT_EQ(OrbLiveSDK::SetEnvironment(name), ok);
  s = Take(corvel_inspect_settings_json());
  ASSERT_TRUE(Contains(s, "\"environment\":\"loopback\""));
  ASSERT_TRUE(
      Contains(s, "\"SetEnvironment\":{\"env_hex\":\"6c6f6f706261636b20\",\"result\":false}"));
  OrbLiveSDK::SetEnvironment(nullptr);
  s = Take(corvel_inspect_settings_json());
  ASSERT_TRUE(Contains(s, "\"SetEnvironment\":{\"env_hex\":null,\"result\":false}"));
  corvel_inspect_reset_settings();
  s = Take(corvel_inspect_settings_json());
  ASSERT_TRUE(Contains(s, "\"proxy\":null") && Contains(s, "\"environment\":\"production\""));
  ASSERT_TRUE(Contains(s, "\"last_calls\":{}"));
}

TEST(EngineUnits, LogPathAndLevels) {
  corvel_inspect_reset_settings();
  const fs::path dir = MakeTempDir();
  const fs::path file = dir / "plain";
  std::ofstream(file) << "x";
  ASSERT_TRUE(!OrbLiveSDK::SetLogPath(nullptr));
  ASSERT_TRUE(!OrbLiveSDK::SetLogPath(""));
  ASSERT_TRUE(!OrbLiveSDK::SetLogPath(file.c_str()));
  ASSERT_TRUE(!OrbLiveSDK::SetLogPath((dir / "missing").c_str()));
  ASSERT_TRUE(!OrbLiveSDK::SetLogPath("/proc/self"));  // not writable even for root
  ASSERT_TRUE(OrbLiveSDK::SetLogPath(dir.c_str()));

  const std::pair<int, int> clamps[] = {{-5, 0}, {0, 0}, {3, 3}, {6, 6}, {99, 6}};
  for (const auto& [asked, stored] : clamps) {
    OrbLiveSDK::SetLogLevel(asked);
    std::string s = Take(corvel_inspect_settings_json());
    ASSERT_TRUE(Contains(s, "\"level\":" + std::to_string(stored) + ","));
    ASSERT_TRUE(Contains(s, "\"SetLogLevel\":{\"level\":" + std::to_string(asked) + "}"));
  }
  OrbLiveSDK::SetLogLevel(3);  // warning and up
  for (int level = 0; level <= 5; ++level) {
    corvel_inspect_log(level, ("line-at-" + std::to_string(level)).c_str());
  }
  corvel_inspect_flush_log();
  const std::string log = ReadFile(dir / "corvel.log");
  for (int level = 0; level <= 5; ++level) {
    ASSERT_EQ(Contains(log, "line-at-" + std::to_string(level)), level >= 3);
  }
  const std::regex line_format(
      R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} WARNING \[\d+\] line-at-3\n)");
  ASSERT_TRUE(std::regex_search(log, line_format));

  // Disabled file: nothing more is written; enabling again appends.
  OrbLiveSDK::DisableLogFile(true);
  corvel_inspect_log(4, "while-disabled");
  OrbLiveSDK::DisableLogFile(false);
  corvel_inspect_log(4, "after-enable");
  corvel_inspect_flush_log();
  const std::string log2 = ReadFile(dir / "corvel.log");
  ASSERT_TRUE(!Contains(log2, "while-disabled") && Contains(log2, "after-enable"));
  ASSERT_TRUE(Contains(log2, "line-at-5"));
  corvel_inspect_reset_settings();
  fs::remove_all(dir);
}

TEST(EngineUnits, ConsoleLog) {
  corvel_inspect_reset_settings();
  const fs::path dir = MakeTempDir();
  const fs::path capture = dir / "stderr.txt";
  fflush(stderr);
  const int saved = dup(2);
  const int fd = open(capture.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_TRUE(saved >= 0 && fd >= 0);
  dup2(fd, 2);
  corvel_inspect_log(4, "console-off");
  OrbLiveSDK::EnableConsoleLog();
  corvel_inspect_log(4, "console-on");
  OrbLiveSDK::DisableConsoleLog();
  corvel_inspect_log(4, "console-off-again");
  dup2(saved, 2);
  close(fd);
  close(saved);
  const std::string out = ReadFile(capture);
  ASSERT_TRUE(Contains(out, "console-on"));
  ASSERT_TRUE(!Contains(out, "console-off"));
  fs::remove_all(dir);
}

TEST(EngineUnits, Rotation) {
  for (bool compress : {true, false}) {
    corvel_inspect_reset_settings();
    const fs::path dir = MakeTempDir();
    ASSERT_TRUE(OrbLiveSDK::SetLogPath(dir.c_str()));
    OrbLiveSDK::DisableLogCompress(!compress);
    corvel_inspect_set_log_rotate_bytes(1000);
    const std::string filler(300, 'f');
    // Each rotation needs a little over 1000 bytes; make eight of them.
    for (int i = 0; i < 8 * 4; ++i) corvel_inspect_log(2, (std::to_string(i) + filler).c_str());
    corvel_inspect_flush_log();
    const std::string ext = compress ? ".log.gz" : ".log";
    for (int i = 1; i <= 5; ++i) {
      const fs::path rotated = dir / ("corvel." + std::to_string(i) + ext);
      ASSERT_TRUE(fs::exists(rotated));
      const std::string head = ReadFile(rotated).substr(0, 2);
      ASSERT_EQ(head == "\x1f\x8b", compress);
    }
    ASSERT_TRUE(!fs::exists(dir / ("corvel.6" + ext)));
    ASSERT_TRUE(!fs::exists(dir / (compress ? "corvel.1.log" : "corvel.1.log.gz")));
    ASSERT_TRUE(fs::file_size(dir / "corvel.log") <= 1000);
    // corvel.1 holds the lines just before the current file's.
    if (!compress) {
      ASSERT_TRUE(Contains(ReadFile(dir / "corvel.1.log"), "27" + filler));
    }
    corvel_inspect_reset_settings();
    fs::remove_all(dir);
  }
}

// ---- operations ----

TEST(EngineUnits, EnterRoomValidation) {
  struct Case {
    const char* what;
    void (*edit)(EnterRoomParams&);
    int expected;
  };
  const Case cases[] = {
      {"app id", [](EnterRoomParams& p) { p.room.sdk_app_id = 0; }, ERR_INVALID_SDK_APP_ID},
      {"null user", [](EnterRoomParams& p) { p.room.user_id = nullptr; }, ERR_INVALID_USER_ID},
      {"empty user", [](EnterRoomParams& p) { p.room.user_id = ""; }, ERR_INVALID_USER_ID},
      {"null sig", [](EnterRoomParams& p) { p.room.user_sig = nullptr; }, ERR_INVALID_USER_SIG},
      {"no room", [](EnterRoomParams& p) { p.room.room_id = 0; }, ERR_INVALID_ROOM_ID},
      {"null str room",
       [](EnterRoomParams& p) {
         p.room.room_id = 0;
         p.room.str_room_id = nullptr;
       },
       ERR_INVALID_ROOM_ID},
      {"str room only",
       [](EnterRoomParams& p) {
         p.room.room_id = 0;
         p.room.str_room_id = "lobby";
       },
       ERR_OK},
      {"bad role", [](EnterRoomParams& p) { p.role = static_cast<VORARole>(9); },
       ERR_INVALID_PARAMETER},
      {"audience", [](EnterRoomParams& p) { p.role = VORA_ROLE_AUDIENCE; }, ERR_OK},
  };
  for (const Case& c : cases) {
    Instance inst;
    EnterRoomParams p = ValidParams();
    c.edit(p);
    if (inst.cloud->EnterRoom(p) != c.expected) {
      std::fprintf(stderr, "EnterRoom case %s\n", c.what);
      ASSERT_TRUE(false);
    }
    inst.Settle();
    ASSERT_EQ(inst.delegate.count(), c.expected == ERR_OK ? 3u : 0u);
  }
}

TEST(EngineUnits, ChannelsAndSends) {
  Instance inst;
  VORACloud* c = inst.cloud;
  // Nothing works before entering.
  ASSERT_EQ(c->CreateLocalAudioChannel(AudioEncodeParams()), ERR_INVALID_OPERATION);
  ASSERT_EQ(c->CreateLocalVideoChannel(STREAM_TYPE_VIDEO_HIGH), ERR_INVALID_OPERATION);
  ASSERT_EQ(c->Subscribe("bob", STREAM_TYPE_AUDIO), ERR_INVALID_OPERATION);
  ASSERT_TRUE(!c->SendCustomCmdMsg(1, "hi", 2, true, true));
  ASSERT_EQ(c->EnterRoom(ValidParams()), ERR_OK);

  // Audio encode parameters: each field's bounds.
  struct AudioCase {
    int channels, rate, frame_ms, bitrate;
    bool ok;
  };
  const AudioCase audio_cases[] = {
      {3, 48000, 20, 51200, false}, {0, 48000, 20, 51200, false}, {1, 22050, 20, 51200, false},
      {1, 48000, 30, 51200, false}, {1, 48000, 20, 5999, false},  {1, 48000, 20, 510001, false},
      {2, 8000, 60, 6000, true},
  };
  for (const AudioCase& a : audio_cases) {
    AudioEncodeParams p;
    p.channels = a.channels;
    p.sample_rate = a.rate;
    p.frame_length_ms = a.frame_ms;
    p.bitrate_bps = a.bitrate;
    ASSERT_EQ(c->CreateLocalAudioChannel(p), a.ok ? ERR_OK : ERR_INVALID_PARAMETER);
  }
  ASSERT_EQ(c->CreateLocalAudioChannel(AudioEncodeParams()), ERR_INVALID_OPERATION);  // exists

  AudioFrame pcm;  // in the format of the channel just opened (8 kHz stereo)
  pcm.sample_rate = 8000;
  pcm.channels = 2;
  const uint8_t samples[4] = {0, 1, 2, 3};
  ASSERT_EQ(c->SendAudioFrame(pcm), ERR_INVALID_PARAMETER);  // empty
  pcm.SetData(samples, 3);
  ASSERT_EQ(c->SendAudioFrame(pcm), ERR_INVALID_PARAMETER);  // half a sample
  pcm.SetData(samples, 4);
  ASSERT_EQ(c->SendAudioFrame(pcm), ERR_OK);
  ASSERT_EQ(c->SendContinuousAudioFrame(pcm, true), ERR_OK);
  pcm.codec = static_cast<AudioCodecType>(7);
  ASSERT_EQ(c->SendAudioFrame(pcm), ERR_INVALID_PARAMETER);

  const std::pair<StreamType, int> video_types[] = {
      {STREAM_TYPE_VIDEO_HIGH, ERR_OK},
      {STREAM_TYPE_VIDEO_LOW, ERR_OK},
      {STREAM_TYPE_VIDEO_AUX, ERR_OK},
      {STREAM_TYPE_AUDIO, ERR_INVALID_PARAMETER},
      {STREAM_TYPE_UNKNOWN, ERR_INVALID_PARAMETER},
      {static_cast<StreamType>(5), ERR_INVALID_PARAMETER},
  };
  for (const auto& [type, expected] : video_types)
    ASSERT_EQ(c->CreateLocalVideoChannel(type), expected);
  ASSERT_EQ(c->CreateLocalVideoChannel(STREAM_TYPE_VIDEO_HIGH), ERR_INVALID_OPERATION);

  VideoFrame encoded;
  ASSERT_EQ(c->SendVideoFrame(STREAM_TYPE_VIDEO_HIGH, encoded), ERR_INVALID_PARAMETER);
  encoded.SetData(samples, 4);
  ASSERT_EQ(c->SendVideoFrame(STREAM_TYPE_VIDEO_HIGH, encoded), ERR_OK);
  ASSERT_EQ(c->SendVideoFrame(STREAM_TYPE_AUDIO, encoded), ERR_INVALID_PARAMETER);

  struct PixelCase {
    uint32_t w, h;
    VideoPixelFormat format;
    size_t size;
    int expected;
  };
  const PixelCase pixel_cases[] = {
      {4, 2, VIDEO_PIXEL_FORMAT_YUV420p, 12, ERR_OK},
      {3, 3, VIDEO_PIXEL_FORMAT_YUV420p, 9 + 2 * 4, ERR_OK},
      {4, 2, VIDEO_PIXEL_FORMAT_YUVA420p, 20, ERR_OK},
      {4, 2, VIDEO_PIXEL_FORMAT_RGBA, 32, ERR_OK},
      {4, 2, VIDEO_PIXEL_FORMAT_RGBA, 31, ERR_INVALID_PARAMETER},
      {0, 2, VIDEO_PIXEL_FORMAT_RGBA, 0, ERR_INVALID_PARAMETER},
      {4, 2, static_cast<VideoPixelFormat>(3), 32, ERR_INVALID_PARAMETER},
  };
  for (const PixelCase& pc : pixel_cases) {
    PixelFrame f;
    f.width = pc.w;
    f.height = pc.h;
    f.format = pc.format;
    std::vector<uint8_t> bytes(pc.size, 7);
    f.SetData(bytes.data(), bytes.size());
    ASSERT_EQ(c->SendVideoFrame(STREAM_TYPE_VIDEO_LOW, f), pc.expected);
  }

  ASSERT_EQ(c->SendSeiMessage(5, "sei", 3), ERR_OK);
  ASSERT_EQ(c->SendSeiMessage(5, nullptr, 3), ERR_INVALID_PARAMETER);
  ASSERT_EQ(c->SendSeiMessage(5, "sei", 0), ERR_INVALID_PARAMETER);
  ASSERT_TRUE(!c->SendCustomCmdMsg(0xffffffffu, "a\0b", 3, false, true));  // command ids are 1..10
  ASSERT_TRUE(!c->SendCustomCmdMsg(1, nullptr, 3, true, true));
  ASSERT_TRUE(!c->SendCustomCmdMsg(1, "x", 0, true, true));

  ASSERT_EQ(c->Subscribe("bob", STREAM_TYPE_VIDEO_AUX), ERR_OK);
  ASSERT_EQ(c->Subscribe(nullptr, STREAM_TYPE_AUDIO), ERR_INVALID_PARAMETER);
  ASSERT_EQ(c->Subscribe("bob", STREAM_TYPE_UNKNOWN), ERR_INVALID_PARAMETER);
  ASSERT_EQ(c->Unsubscribe("bob", STREAM_TYPE_VIDEO_AUX), ERR_OK);
  ASSERT_EQ(c->GetAudioFrame(nullptr), ERR_INVALID_PARAMETER);
  AudioFrame pulled;
  ASSERT_EQ(c->GetAudioFrame(&pulled), ERR_INVALID_OPERATION);
  ASSERT_EQ(c->DestroyLocalVideoChannel(STREAM_TYPE_VIDEO_AUX), ERR_OK);
  ASSERT_EQ(c->DestroyLocalVideoChannel(STREAM_TYPE_VIDEO_AUX), ERR_INVALID_OPERATION);
  ASSERT_EQ(c->DestroyLocalAudioChannel(), ERR_OK);
  ASSERT_EQ(c->DestroyLocalAudioChannel(), ERR_INVALID_OPERATION);
  pcm.codec = AUDIO_CODEC_TYPE_PCM;
  ASSERT_EQ(c->SendAudioFrame(pcm), ERR_INVALID_OPERATION);  // channel gone
  ASSERT_EQ(c->startAsrService(AsrParams{"en"}), ERR_NOT_SUPPORTED);
  ASSERT_EQ(c->CallExperimentalAPI(nullptr), ERR_INVALID_PARAMETER);

  // The record of the custom command carries the unsigned id and every byte.
  const std::string calls = inst.calls();
  ASSERT_TRUE(Contains(calls,
                       "\"op\":\"SendCustomCmdMsg\",\"cmd_id\":4294967295,\"length\":3,"
                       "\"message_null\":false"));
  ASSERT_TRUE(Contains(calls,
                       "\"message_hex\":\"610062\",\"reliable\":false,\"ordered\":true,"
                       "\"result\":false"));
  ASSERT_TRUE(Contains(calls, "\"op\":\"SendVideoFrame\",\"overload\":\"PixelFrame\",\"type\":3"));
  ASSERT_TRUE(Contains(calls, "\"op\":\"GetAudioFrame\",\"frame_null\":true,\"result\":-2"));
  ASSERT_TRUE(
      Contains(calls, "\"op\":\"Subscribe\",\"user_id_hex\":null,\"type\":1,\"result\":-2"));
  ASSERT_TRUE(Contains(calls, "\"op\":\"SendContinuousAudioFrame\""));
  ASSERT_TRUE(Contains(calls, "\"size\":4,\"fnv1a\":"));
  ASSERT_TRUE(Contains(calls, "\"data_hex\":\"00010203\""));
}

TEST(EngineUnits, EnterRoomRecord) {
  Instance inst;
  EnterRoomParams p = ValidParams();
  p.room.str_room_id = nullptr;
  p.room.custom_data = reinterpret_cast<void*>(0x1234);
  p.scene = VORA_SCENE_LIVE;
  p.private_map_key = "k";
  p.audio_obtain_params.output_channels = 2;
  p.use_pixel_frame_output = true;
  ASSERT_EQ(inst.cloud->EnterRoom(p), ERR_OK);
  const std::string calls = inst.calls();
  ASSERT_TRUE(
      Contains(calls,
               "\"room\":{\"sdk_app_id\":7,\"user_id_hex\":\"616c696365\",\"user_sig_hex\":"
               "\"736967\",\"room_id\":1,\"str_room_id_hex\":null,\"custom_data\":4660,"
               "\"decryption_delegate\":0,\"encryption_delegate\":0},\"scene\":2,\"role\":0,"
               "\"private_map_key_hex\":\"6b\""));
  ASSERT_TRUE(Contains(calls, "\"output_channels\":2"));
  ASSERT_TRUE(Contains(calls, "\"use_pixel_frame_input\":false,\"use_pixel_frame_output\":true"));
}

// ---- injection ----

TEST(EngineUnits, InjectionArguments) {
  Instance inst;
  struct Case {
    int slot;
    const char* args;
    const char* expected;
  };
  const Case cases[] = {
      {1, "{\"error\": -3317}", "OnError(-3317)"},
      {2, "{\"old_state\": 3, \"new_state\": 77}", "OnConnectionStateChanged(3,77)"},
      {4, "", "OnExitRoom"},
      {8, "{\"stream_type\": 99}", "OnLocalVideoChannelDestroyed(99)"},
      {9, "{\"stream_type\": 7, \"bitrate_bps\": -5}", "OnRequestChangeVideoEncodeBitrate(7,-5)"},
      {11, "{\"user_id_hex\": null}", "OnRemoteUserEnterRoom(null)"},
      {12, "{\"user_id_hex\": \"626f62\", \"reason\": 2}", "OnRemoteUserExitRoom(\"bob\",2)"},
      {13, "{\"user_id_hex\": \"ff00\", \"available\": false}",
       "OnRemoteAudioAvailable(\"\xff\",0)"},
      {14, "{\"user_id_hex\": \"61\", \"type\": 3}", "OnRemoteVideoAvailable(\"a\",1,3)"},
      {15,
       "{\"user_id_hex\": \"61\", \"type\": 2, \"frame\": {\"pts\": 5, \"dts\": 4, "
       "\"is_key_frame\": true, \"codec\": 1, \"rotation\": 9, \"data_hex\": \"6869\"}}",
       "OnRemoteVideoReceived(\"a\",2,video pts=5 dts=4 key=1 codec=1 rot=9 data=\"hi\")"},
      {16,
       "{\"type\": 7, \"frame\": {\"width\": 2, \"height\": 1, \"format\": 2, \"data_hex\": "
       "\"00\"}}",
       "OnRemoteVideoReceived(\"\",7,pixel pts=0 2x1 fmt=2 rot=0 data=\"\0\")"},
      {17, "{\"frame\": {\"sample_rate\": 16000, \"has_voice\": true, \"data_hex\": \"7878\"}}",
       "OnRemoteAudioReceived(\"\",audio 16000Hz ch=1 bits=16 codec=0 pts=0 voice=1 data=\"xx\")"},
      {18, "{}",
       "OnRemoteMixedAudioReceived(audio 48000Hz ch=1 bits=16 codec=0 pts=0 voice=0 data=\"\")"},
      {19, "{\"message_hex\": \"616263\", \"length\": 2, \"message_type\": 243}",
       "OnSeiMessageReceived(\"\",2,243,\"ab\",2)"},
      {20, "{\"cmd_id\": -1, \"seq\": 4294967295, \"message_hex\": null, \"length\": 0}",
       "OnReceiveCustomCmdMsg(\"\",-1,4294967295,null,0)"},
      {21, "{\"user_id_hex\": \"75\", \"cmd_id\": 3, \"error_code\": 1, \"missed\": 9}",
       "OnMissCustomCmdMsg(\"u\",3,1,9)"},
      {22,
       "{\"local\": null, \"remote\": [{\"user_id_hex\": \"61\", \"quality\": 1}, "
       "{\"user_id_hex\": \"62\", \"quality\": 42}], \"count\": 1}",
       "OnNetworkQuality(null,[\"a\":1],1)"},
      {22, "{\"remote\": []}", "OnNetworkQuality(\"\":6,[],0)"},
      {23, "{\"volumes\": [{\"user_id_hex\": \"61\", \"volume\": 30}], \"total\": 30}",
       "OnUserVoiceVolume([\"a\":30],30)"},
      {24, "{\"speaker_user_id_hex\": \"73\", \"text_hex\": null}",
       "OnReceiveAsrMessage(\"s\",null)"},
      {25, "{\"error\": 3, \"error_info_hex\": \"6f6f7073\"}", "OnAsrServiceError(3,\"oops\")"},
  };
  size_t n = 0;
  for (const Case& c : cases) {
    ASSERT_EQ(corvel_inspect_fire(inst.id, c.slot, c.args, 5000), 0);
    ++n;
    const auto texts = inst.delegate.texts();
    ASSERT_EQ(texts.size(), n);
    const std::string expected(c.expected,
                               std::strlen(c.expected) + (c.slot == 16 ? 3 : 0));  // embedded NUL
    if (texts.back() != expected) {
      std::fprintf(stderr, "slot %d delivered %s\n", c.slot, texts.back().c_str());
      ASSERT_TRUE(false);
    }
  }
  for (const auto& e : inst.delegate.events()) ASSERT_TRUE(e.thread != std::this_thread::get_id());

  const std::pair<int, const char*> bad[] = {
      {0, "{}"},
      {26, "{}"},
      {1, "{\"eror\": 1}"},
      {1, "{\"error\": 2147483648}"},
      {1, "not json"},
      {2, "{\"old_state\": -1}"},
      {19, "{\"message_hex\": \"61\", \"length\": 2}"},
      {20, "{\"message_hex\": null, \"length\": 1}"},
      {13, "{\"user_id_hex\": \"6\"}"},
      {22, "{\"remote\": [{}], \"count\": 2}"},
      {15, "{\"frame\": {\"width\": 1}}"},
  };
  for (const auto& [slot, args] : bad) {
    ASSERT_EQ(corvel_inspect_fire(inst.id, slot, args, 5000), -2);
    ASSERT_TRUE(std::strlen(corvel_inspect_last_error()) > 0);
  }
  ASSERT_EQ(inst.delegate.count(), n);
  ASSERT_EQ(corvel_inspect_fire(999999, 3, "{}", 5000), -1);
}

TEST(EngineUnits, QueueLimitsAndFirehose) {
  corvel_inspect_set_queue_capacity(4);
  Instance inst;
  corvel_inspect_set_queue_capacity(0);
  std::atomic<bool> release{false};
  inst.delegate.hook = [&](const std::string& name) {
    if (name == "OnEnterRoom") {
      while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  };
  const uint64_t total_before = corvel_inspect_dropped_total();
  ASSERT_EQ(corvel_inspect_fire_many(inst.id, 3, nullptr, 1), 1);
  while (inst.delegate.count() == 0 && corvel_inspect_wait_idle(inst.id, 0) == 0) {
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(20));  // the callback is now blocked
  ASSERT_EQ(corvel_inspect_fire_many(inst.id, 10, nullptr, 10), 4);
  ASSERT_EQ(corvel_inspect_dropped(inst.id), 6);
  ASSERT_EQ(corvel_inspect_fire(inst.id, 10, nullptr, 1000), -3);  // full: dropped at once
  ASSERT_EQ(corvel_inspect_dropped_total(), total_before + 7);
  release = true;
  inst.Settle();
  ASSERT_EQ(inst.delegate.count(), 5u);
  const std::string stats = Take(corvel_inspect_stats_json(inst.id));
  ASSERT_TRUE(Contains(stats, "\"delivered\":5,\"dropped\":7"));
  ASSERT_TRUE(Contains(stats, "\"queue_capacity\":4"));

  // Firehose: runs until stopped, and a second start is refused meanwhile.
  ASSERT_EQ(corvel_inspect_firehose_start(inst.id, 10, "{\"stream_type\": 2}", 100), 0);
  ASSERT_EQ(corvel_inspect_firehose_start(inst.id, 10, "{}", 100), -7);
  ASSERT_TRUE(inst.delegate.WaitFor(20));
  const int64_t queued = corvel_inspect_firehose_stop(inst.id);
  ASSERT_TRUE(queued >= 15);
  ASSERT_EQ(corvel_inspect_firehose_stop(inst.id), -7);
}

TEST(EngineUnits, FirehoseThenDestroyAndReentrantFire) {
  // Destroy with a firehose running and a delegate that calls back into the
  // engine: the instance goes away cleanly and nothing arrives afterwards.
  auto delegate = std::make_unique<RecordingDelegate>();
  VORACloud* cloud = VORACloud::Create(delegate.get());
  const uint64_t id = corvel_inspect_last_instance();
  std::atomic<int> refused{0};     // fire on the delivery thread itself: -6
  std::atomic<int> unexpected{0};  // anything but -6, or -1 once Destroy has begun
  delegate->hook = [&](const std::string& name) {
    if (name == "OnRequestKeyFrame") {
      cloud->SetVideoEncodeParam(STREAM_TYPE_VIDEO_HIGH, VideoEncodeParams());
      const int r = corvel_inspect_fire(id, 3, nullptr, 1000);
      if (r == -6 || r == -1) {
        ++refused;
      } else {
        ++unexpected;
      }
    }
  };
  ASSERT_EQ(corvel_inspect_firehose_start(id, 10, "{}", 0), 0);
  ASSERT_TRUE(delegate->WaitFor(50));
  VORACloud::Destroy(cloud);
  const size_t after = delegate->count();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_EQ(delegate->count(), after);
  ASSERT_TRUE(refused.load() >= 50);
  ASSERT_EQ(unexpected.load(), 0);
  ASSERT_EQ(corvel_inspect_firehose_stop(id), -1);
  ASSERT_TRUE(Contains(Take(corvel_inspect_calls_json(id)), "SetVideoEncodeParam"));
}

// Every test leaves no engine instance behind.
class NoInstanceLeft : public ::testing::Environment {
 public:
  void TearDown() override { EXPECT_EQ(corvel_inspect_live_instances(), 0u); }
};
const auto* const kNoInstanceLeft = ::testing::AddGlobalTestEnvironment(new NoInstanceLeft);

}  // namespace
