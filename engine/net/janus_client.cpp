#include "janus_client.h"

#include <curl/curl.h>

#include <memory>
#include <mutex>

namespace corvel::net {
namespace {

using json = nlohmann::json;

// Larger answers than this are not Janus talking to us.
constexpr size_t kMaxAnswerBytes = 8u << 20;

struct CurlDeleter {
  void operator()(CURL* c) const { curl_easy_cleanup(c); }
};
struct SlistDeleter {
  void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};

struct Sink {
  std::string* body;
  bool overflow = false;
};

size_t write_body(char* data, size_t size, size_t count, void* user) {
  auto* sink = static_cast<Sink*>(user);
  const size_t n = size * count;
  if (sink->body->size() + n > kMaxAnswerBytes) {
    sink->overflow = true;
    return 0;  // makes curl stop with CURLE_WRITE_ERROR
  }
  sink->body->append(data, n);
  return n;
}

int cancel_check(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  return static_cast<std::atomic<bool>*>(user)->load() ? 1 : 0;
}

Error protocol_error(const std::string& what, const json& answer) {
  std::string text = what + ": " + answer.dump();
  if (text.size() > 400) text.resize(400);
  return {kJanusProtocol, text};
}

// j[key] when j is an object that has it, else null: never throws.
const json& member(const json& j, const char* key) {
  static const json null_value;
  if (!j.is_object()) return null_value;
  const auto it = j.find(key);
  return it == j.end() ? null_value : *it;
}

// Reads an unsigned id: Janus sends ids as JSON integers.
std::optional<uint64_t> get_id(const json& j, const char* key) {
  if (!j.is_object()) return std::nullopt;
  const auto it = j.find(key);
  if (it == j.end()) return std::nullopt;
  if (it->is_number_unsigned()) return it->get<uint64_t>();
  if (it->is_number_integer() && it->get<int64_t>() >= 0)
    return static_cast<uint64_t>(it->get<int64_t>());
  return std::nullopt;
}

std::string get_string(const json& j, const char* key) {
  if (!j.is_object()) return {};
  const auto it = j.find(key);
  return it != j.end() && it->is_string() ? it->get<std::string>() : std::string();
}

bool get_bool(const json& j, const char* key) {
  if (!j.is_object()) return false;
  const auto it = j.find(key);
  return it != j.end() && it->is_boolean() && it->get<bool>();
}

int get_int(const json& j, const char* key, int fallback = 0) {
  if (!j.is_object()) return fallback;
  const auto it = j.find(key);
  return it != j.end() && it->is_number_integer() ? it->get<int>() : fallback;
}

uint16_t get_port(const json& j, const char* key) {
  const int v = get_int(j, key);
  return v > 0 && v <= 65535 ? static_cast<uint16_t>(v) : 0;
}

// The plugin's own error inside a success envelope or an event.
Error plugin_error(const json& data) {
  if (data.is_object() && data.contains("error_code")) {
    std::string text = get_string(data, "error");
    return {get_int(data, "error_code", kJanusProtocol), text.empty() ? "plugin error" : text};
  }
  return {};
}

Publisher parse_publisher(const json& p) {
  Publisher pub;
  pub.id = get_id(p, "id").value_or(0);
  pub.display = get_string(p, "display");
  if (const auto it = p.find("streams"); it != p.end() && it->is_array()) {
    for (const json& s : *it) {
      pub.streams.push_back({get_string(s, "type"), get_int(s, "mindex"), get_string(s, "mid"),
                             get_string(s, "codec"), get_bool(s, "disabled"),
                             get_string(s, "description")});
    }
  }
  return pub;
}

Participant parse_participant(const json& p) {
  return {get_id(p, "id").value_or(0), get_string(p, "display"), get_bool(p, "publisher"),
          get_bool(p, "remote"), get_bool(p, "talking")};
}

void add_secret(json& body, const std::string& secret) {
  if (!secret.empty()) body["secret"] = secret;
}

}  // namespace

JanusClient::JanusClient(std::string base_url, JanusClientOptions options)
    : base_url_(std::move(base_url)),
      options_(options),
      request_timeout_ms_(options.request_timeout_ms) {
  // curl_global_init is not thread safe in every libcurl; once per process.
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
  while (!base_url_.empty() && base_url_.back() == '/') base_url_.pop_back();
}

JanusClient::~JanusClient() = default;

std::optional<uint64_t> JanusClient::session_id() const {
  const uint64_t id = session_.load();
  return id ? std::optional<uint64_t>(id) : std::nullopt;
}

std::string JanusClient::next_transaction() {
  return "corvel-" + std::to_string(++transaction_counter_);
}

JanusClient::HttpAnswer JanusClient::http(const std::string& url, const std::string* post_body,
                                          long timeout_ms, bool cancellable) {
  HttpAnswer answer;
  if (cancellable && cancelled_) {
    answer.error = {kJanusCancelled, "poll cancelled"};
    return answer;
  }
  std::unique_ptr<CURL, CurlDeleter> curl(curl_easy_init());
  if (!curl) {
    answer.error = {kJanusTransport, "curl_easy_init failed"};
    return answer;
  }
  char error_buffer[CURL_ERROR_SIZE] = {};
  Sink sink{&answer.body};
  CURL* c = curl.get();
  curl_easy_setopt(c, CURLOPT_URL, url.c_str());
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, options_.connect_timeout_ms);
  curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, timeout_ms);
  curl_easy_setopt(c, CURLOPT_ERRORBUFFER, error_buffer);
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, write_body);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &sink);
  // Janus is addressed directly, whatever proxy the environment names.
  curl_easy_setopt(c, CURLOPT_PROXY, "");
  curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
  std::unique_ptr<curl_slist, SlistDeleter> headers;
  if (post_body) {
    headers.reset(curl_slist_append(nullptr, "Content-Type: application/json"));
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(c, CURLOPT_POSTFIELDS, post_body->c_str());
    curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(post_body->size()));
  }
  if (cancellable) {
    curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, cancel_check);
    curl_easy_setopt(c, CURLOPT_XFERINFODATA, &cancelled_);
  }
  const CURLcode rc = curl_easy_perform(c);
  if (rc != CURLE_OK) {
    std::string text = error_buffer[0] ? error_buffer : curl_easy_strerror(rc);
    if (rc == CURLE_OPERATION_TIMEDOUT) {
      answer.error = {kJanusTimeout, text};
    } else if (rc == CURLE_ABORTED_BY_CALLBACK) {
      answer.error = {kJanusCancelled, "poll cancelled"};
    } else if (sink.overflow) {
      answer.error = {kJanusProtocol,
                      "answer larger than " + std::to_string(kMaxAnswerBytes) + " bytes"};
    } else {
      answer.error = {kJanusTransport, text};
    }
    return answer;
  }
  curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &answer.status);
  return answer;
}

Result<json> JanusClient::parse(const HttpAnswer& answer) {
  Result<json> r;
  if (!answer.error.ok()) {
    r.error = answer.error;
    return r;
  }
  if (answer.status != 200) {
    r.error = {kJanusHttp, "HTTP " + std::to_string(answer.status)};
    return r;
  }
  r.value = json::parse(answer.body, nullptr, /*allow_exceptions=*/false);
  if (r.value.is_discarded()) {
    r.error = {kJanusBadJson, "answer is not JSON"};
    r.value = nullptr;
    return r;
  }
  if (r.value.is_object() && get_string(r.value, "janus") == "error") {
    const json& e = member(r.value, "error");
    r.error = {get_int(e, "code", kJanusProtocol), get_string(e, "reason")};
  }
  return r;
}

Result<json> JanusClient::info() {
  return parse(http(base_url_ + "/info", nullptr, request_timeout_ms_.load(), false));
}

Result<json> JanusClient::post(const std::string& path, json body) {
  body["transaction"] = next_transaction();
  const std::string text = body.dump();
  auto r = parse(http(base_url_ + path, &text, request_timeout_ms_.load(), false));
  if (r.error.code == kJanusNoSuchSession) session_ = 0;  // expired or destroyed
  return r;
}

Result<std::string> JanusClient::session_path() {
  const uint64_t id = session_.load();
  if (!id) return {{}, {kJanusNoSession, "no session"}};
  return {"/" + std::to_string(id), {}};
}

Error JanusClient::create_session() {
  auto r = post("", {{"janus", "create"}});
  if (!r.ok()) return r.error;
  const auto id = get_id(member(r.value, "data"), "id");
  if (get_string(r.value, "janus") != "success" || !id) return protocol_error("create", r.value);
  session_ = *id;
  return {};
}

Result<uint64_t> JanusClient::attach(const std::string& plugin) {
  auto path = session_path();
  if (!path.ok()) return {0, path.error};
  auto r = post(path.value, {{"janus", "attach"}, {"plugin", plugin}});
  if (!r.ok()) return {0, r.error};
  const auto id = get_id(member(r.value, "data"), "id");
  if (get_string(r.value, "janus") != "success" || !id)
    return {0, protocol_error("attach", r.value)};
  return {*id, {}};
}

Error JanusClient::detach(uint64_t handle) {
  auto path = session_path();
  if (!path.ok()) return path.error;
  auto r = post(path.value + "/" + std::to_string(handle), {{"janus", "detach"}});
  if (!r.ok()) return r.error;
  return get_string(r.value, "janus") == "success" ? Error{} : protocol_error("detach", r.value);
}

Error JanusClient::keepalive() {
  auto path = session_path();
  if (!path.ok()) return path.error;
  auto r = post(path.value, {{"janus", "keepalive"}});
  if (!r.ok()) return r.error;
  return get_string(r.value, "janus") == "ack" ? Error{} : protocol_error("keepalive", r.value);
}

Error JanusClient::destroy_session() {
  auto path = session_path();
  if (!path.ok()) return path.error;
  auto r = post(path.value, {{"janus", "destroy"}});
  session_ = 0;
  if (!r.ok()) return r.error;
  return get_string(r.value, "janus") == "success" ? Error{} : protocol_error("destroy", r.value);
}

Result<json> JanusClient::plugin_request(uint64_t handle, const json& body) {
  auto path = session_path();
  if (!path.ok()) return {nullptr, path.error};
  auto r = post(path.value + "/" + std::to_string(handle), {{"janus", "message"}, {"body", body}});
  if (!r.ok()) return r;
  if (get_string(r.value, "janus") != "success")
    return {nullptr, protocol_error("plugin request", r.value)};
  json data = member(member(r.value, "plugindata"), "data");
  if (!data.is_object()) return {nullptr, protocol_error("plugin request", r.value)};
  Error error = plugin_error(data);
  return {std::move(data), std::move(error)};
}

Result<std::string> JanusClient::plugin_message(uint64_t handle, const json& body) {
  auto path = session_path();
  if (!path.ok()) return {{}, path.error};
  json request = {{"janus", "message"}, {"body", body}, {"transaction", next_transaction()}};
  const std::string transaction = request["transaction"];
  const std::string text = request.dump();
  auto r = parse(http(base_url_ + path.value + "/" + std::to_string(handle), &text,
                      request_timeout_ms_.load(), false));
  if (!r.ok()) return {{}, r.error};
  const std::string kind = get_string(r.value, "janus");
  if (kind == "ack") return {transaction, {}};
  if (kind == "success") {  // answered at once, which for these means refused
    Error error = plugin_error(member(member(r.value, "plugindata"), "data"));
    if (!error.ok()) return {transaction, error};
    return {transaction, {}};
  }
  return {{}, protocol_error("plugin message", r.value)};
}

Result<std::vector<json>> JanusClient::poll_events(std::optional<long> timeout_ms) {
  Result<std::vector<json>> result;
  auto path = session_path();
  if (!path.ok()) {
    result.error = path.error;
    return result;
  }
  // maxev > 1 always gives an array; 1 gives one object.
  const std::string url =
      base_url_ + path.value + "?maxev=" + std::to_string(std::max(1, options_.max_events));
  const HttpAnswer answer = http(url, nullptr, timeout_ms.value_or(options_.poll_timeout_ms), true);
  if (answer.error.code == kJanusTimeout) return result;  // nothing within our bound
  if (answer.error.ok() && answer.status == 404) {
    // The long poll's way of saying the session is gone.
    session_ = 0;
    result.error = {kJanusNoSuchSession, "no such session (HTTP 404)"};
    return result;
  }
  auto r = parse(answer);
  if (!r.ok()) {
    result.error = r.error;
    return result;
  }
  std::vector<json> events;
  if (r.value.is_array()) {
    for (json& e : r.value) events.push_back(std::move(e));
  } else if (r.value.is_object()) {
    events.push_back(std::move(r.value));
  } else {
    result.error = protocol_error("long poll", r.value);
    return result;
  }
  for (json& e : events) {
    const std::string kind = get_string(e, "janus");
    if (kind == "keepalive") continue;  // Janus' 30 s filler
    if (kind == "timeout") {
      session_ = 0;
      result.error = {kJanusNoSuchSession, "session timed out"};
    }
    result.value.push_back(std::move(e));
  }
  return result;
}

// ---- VideoRoom ---------------------------------------------------------------

RoomEvent parse_room_event(const json& event) {
  RoomEvent ev;
  ev.raw = event;
  ev.sender = get_id(event, "sender").value_or(0);
  ev.transaction = get_string(event, "transaction");
  if (get_string(event, "janus") != "event") return ev;
  const json& plugindata = member(event, "plugindata");
  if (get_string(plugindata, "plugin") != "janus.plugin.videoroom") return ev;
  const json& data = member(plugindata, "data");
  if (!data.is_object()) return ev;
  ev.room = get_id(data, "room").value_or(0);
  const std::string what = get_string(data, "videoroom");
  if (data.contains("error_code")) {
    ev.kind = RoomEvent::Kind::kError;
    ev.error = plugin_error(data);
    return ev;
  }
  if (what == "joined") {
    ev.kind = RoomEvent::Kind::kJoined;
    ev.id = get_id(data, "id").value_or(0);
    ev.private_id = get_id(data, "private_id").value_or(0);
    for (const char* key : {"publishers", "attendees"}) {
      const auto it = data.find(key);
      if (it == data.end() || !it->is_array()) continue;
      for (const json& p : *it) {
        if (key[0] == 'p')
          ev.publishers.push_back(parse_publisher(p));
        else
          ev.attendees.push_back(parse_participant(p));
      }
    }
    return ev;
  }
  if (what == "destroyed") {
    ev.kind = RoomEvent::Kind::kDestroyed;
    return ev;
  }
  if (what != "event") return ev;
  if (const auto it = data.find("publishers"); it != data.end() && it->is_array()) {
    ev.kind = RoomEvent::Kind::kPublishers;
    for (const json& p : *it) ev.publishers.push_back(parse_publisher(p));
  } else if (const auto j = data.find("joining"); j != data.end() && j->is_object()) {
    ev.kind = RoomEvent::Kind::kJoining;
    ev.participant = parse_participant(*j);
    ev.id = ev.participant.id;
  } else if (data.contains("unpublished")) {
    ev.kind = RoomEvent::Kind::kUnpublished;  // "ok": we unpublished
    ev.id = get_id(data, "unpublished").value_or(0);
  } else if (data.contains("leaving")) {
    ev.kind = RoomEvent::Kind::kLeaving;  // "ok": our own leave (or kick)
    ev.id = get_id(data, "leaving").value_or(0);
  } else if (data.contains("kicked")) {
    ev.kind = RoomEvent::Kind::kKicked;
    ev.id = get_id(data, "kicked").value_or(0);
  }
  return ev;
}

Result<bool> VideoRoom::exists(uint64_t room) {
  auto r = client_.plugin_request(handle_, {{"request", "exists"}, {"room", room}});
  if (!r.ok()) return {false, r.error};
  const auto it = r.value.find("exists");
  if (it == r.value.end() || !it->is_boolean()) return {false, protocol_error("exists", r.value)};
  return {it->get<bool>(), {}};
}

Result<uint64_t> VideoRoom::create(const RoomSettings& s) {
  json body = {{"request", "create"},        {"description", s.description},
               {"publishers", s.publishers}, {"audiocodec", s.audiocodec},
               {"videocodec", s.videocodec}, {"notify_joining", s.notify_joining}};
  if (s.room) body["room"] = s.room;
  add_secret(body, s.secret);
  if (!s.admin_key.empty()) body["admin_key"] = s.admin_key;
  auto r = client_.plugin_request(handle_, body);
  if (!r.ok()) return {0, r.error};
  const auto room = get_id(r.value, "room");
  if (get_string(r.value, "videoroom") != "created" || !room)
    return {0, protocol_error("create", r.value)};
  return {*room, {}};
}

Error VideoRoom::destroy(uint64_t room, const std::string& secret) {
  json body = {{"request", "destroy"}, {"room", room}};
  add_secret(body, secret);
  auto r = client_.plugin_request(handle_, body);
  if (!r.ok()) return r.error;
  return get_string(r.value, "videoroom") == "destroyed" ? Error{}
                                                         : protocol_error("destroy", r.value);
}

Result<std::vector<Participant>> VideoRoom::list_participants(uint64_t room) {
  auto r = client_.plugin_request(handle_, {{"request", "listparticipants"}, {"room", room}});
  if (!r.ok()) return {{}, r.error};
  const auto it = r.value.find("participants");
  if (it == r.value.end() || !it->is_array())
    return {{}, protocol_error("listparticipants", r.value)};
  std::vector<Participant> list;
  for (const json& p : *it) list.push_back(parse_participant(p));
  return {std::move(list), {}};
}

namespace {

json stream_list(const std::vector<StreamConfig>& streams) {
  json list = json::array();
  for (size_t i = 0; i < streams.size(); ++i) {
    const StreamConfig& s = streams[i];
    // Janus renumbers mids by position anyway; say so up front.
    json stream = {{"type", s.type}, {"mid", std::to_string(i)}, {"mindex", i}};
    if (s.type != "data") stream["codec"] = s.codec;
    if (!s.description.empty()) stream["description"] = s.description;
    if (s.type == "audio") {
      stream["fec"] = s.fec;
      stream["stereo"] = s.stereo;
    }
    // Said either way for video: an update only changes what it names.
    if (s.type == "video") stream["disabled"] = s.disabled;
    list.push_back(std::move(stream));
  }
  return list;
}

}  // namespace

Result<RemotePublisher> VideoRoom::add_remote_publisher(uint64_t room,
                                                        const std::vector<StreamConfig>& streams,
                                                        const std::string& display, uint64_t id,
                                                        const std::string& secret,
                                                        const std::string& iface) {
  json body = {
      {"request", "add_remote_publisher"}, {"room", room}, {"streams", stream_list(streams)}};
  if (id) body["id"] = id;
  if (!display.empty()) body["display"] = display;
  if (!iface.empty()) body["iface"] = iface;
  add_secret(body, secret);
  auto r = client_.plugin_request(handle_, body);
  if (!r.ok()) return {{}, r.error};
  RemotePublisher rp{get_id(r.value, "id").value_or(0), get_string(r.value, "ip"),
                     get_port(r.value, "port"), get_port(r.value, "rtcp_port")};
  if (!rp.id || !rp.port) return {{}, protocol_error("add_remote_publisher", r.value)};
  return {std::move(rp), {}};
}

Error VideoRoom::update_remote_publisher(uint64_t room, uint64_t id,
                                         const std::vector<StreamConfig>& streams,
                                         const std::string& secret) {
  json body = {{"request", "update_remote_publisher"},
               {"room", room},
               {"id", id},
               {"streams", stream_list(streams)}};
  add_secret(body, secret);
  return client_.plugin_request(handle_, body).error;
}

Error VideoRoom::remove_remote_publisher(uint64_t room, uint64_t id, const std::string& secret) {
  json body = {{"request", "remove_remote_publisher"}, {"room", room}, {"id", id}};
  add_secret(body, secret);
  return client_.plugin_request(handle_, body).error;
}

Result<std::vector<Forwarder>> VideoRoom::rtp_forward(uint64_t room, uint64_t publisher_id,
                                                      const std::string& host,
                                                      const std::vector<ForwardTarget>& streams,
                                                      const std::string& secret,
                                                      const std::string& admin_key) {
  json list = json::array();
  for (const ForwardTarget& f : streams) {
    json s = {{"mid", f.mid}, {"port", f.port}};
    if (f.rtcp_port) s["rtcp_port"] = f.rtcp_port;
    if (f.pt) s["pt"] = *f.pt;
    if (f.ssrc) s["ssrc"] = *f.ssrc;
    list.push_back(std::move(s));
  }
  json body = {{"request", "rtp_forward"},
               {"room", room},
               {"publisher_id", publisher_id},
               {"host", host},
               {"streams", std::move(list)}};
  add_secret(body, secret);
  if (!admin_key.empty()) body["admin_key"] = admin_key;
  auto r = client_.plugin_request(handle_, body);
  if (!r.ok()) return {{}, r.error};
  const auto it = r.value.find("forwarders");
  if (it == r.value.end() || !it->is_array()) return {{}, protocol_error("rtp_forward", r.value)};
  std::vector<Forwarder> out;
  for (const json& f : *it) {
    out.push_back({get_id(f, "stream_id").value_or(0), get_string(f, "host"), get_port(f, "port"),
                   get_string(f, "type"), get_port(f, "local_rtcp_port")});
  }
  return {std::move(out), {}};
}

Error VideoRoom::stop_rtp_forward(uint64_t room, uint64_t publisher_id, uint64_t stream_id,
                                  const std::string& secret, const std::string& admin_key) {
  json body = {{"request", "stop_rtp_forward"},
               {"room", room},
               {"publisher_id", publisher_id},
               {"stream_id", stream_id}};
  add_secret(body, secret);
  if (!admin_key.empty()) body["admin_key"] = admin_key;
  return client_.plugin_request(handle_, body).error;
}

Result<std::string> VideoRoom::join_observer(uint64_t room, const std::string& display, uint64_t id,
                                             const std::string& pin) {
  json body = {{"request", "join"}, {"ptype", "publisher"}, {"room", room}, {"display", display}};
  if (id) body["id"] = id;
  if (!pin.empty()) body["pin"] = pin;
  return client_.plugin_message(handle_, body);
}

Result<std::string> VideoRoom::leave() {
  return client_.plugin_message(handle_, {{"request", "leave"}});
}

}  // namespace corvel::net
