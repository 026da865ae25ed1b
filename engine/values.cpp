// The engine's value types: owned text, byte buffer, crypto records and the
// room records.
//
// VoraString keeps its text in a heap block it owns (str_ points at the
// NUL-terminated copy). A default-constructed value holds the empty text "";
// a value built or set from a null pointer holds no text at all, and
// GetValue() then answers null.
#include <cstring>
#include <memory>
#include <vector>

#include "corvel_premier.h"
#include "vora/corvel_vora_cloud.h"
#include "vora/corvel_vora_defines.h"

namespace corvel::vora {
namespace {

void* CopyText(const char* value) {
  if (!value) return nullptr;
  const size_t length = std::strlen(value);
  auto block = std::make_unique<char[]>(length + 1);
  std::memcpy(block.get(), value, length + 1);
  return block.release();
}

void FreeText(void* text) { std::unique_ptr<char[]> owned(static_cast<char*>(text)); }

using Bytes = std::vector<uint8_t>;

Bytes* AsBytes(void* handle) { return static_cast<Bytes*>(handle); }

}  // namespace

// ---- VoraString ----

VoraString::VoraString() : str_(CopyText("")) {}

VoraString::~VoraString() { FreeText(str_); }

VoraString::VoraString(const char* value) : str_(CopyText(value)) {}

VoraString::VoraString(const VoraString& other) : str_(CopyText(other.GetValue())) {}

VoraString& VoraString::operator=(const char* value) {
  SetValue(value);
  return *this;
}

VoraString& VoraString::operator=(const VoraString& other) {
  if (this != &other) SetValue(other.GetValue());
  return *this;
}

void VoraString::SetValue(const char* value) {
  // Copy first: value may point into the text this string is about to free.
  void* replacement = CopyText(value);
  FreeText(str_);
  str_ = replacement;
}

const char* VoraString::GetValue() const { return static_cast<const char*>(str_); }

// ---- VoraBuffer ----
// handle_ owns a std::vector<uint8_t>; it is null while the buffer is empty
// and has never been sized.

VoraBuffer::VoraBuffer() : handle_(nullptr) {}

VoraBuffer::VoraBuffer(const VoraBuffer& other) : handle_(nullptr) {
  if (other.handle_) handle_ = std::make_unique<Bytes>(*AsBytes(other.handle_)).release();
}

VoraBuffer& VoraBuffer::operator=(const VoraBuffer& other) {
  if (this != &other) SetData(other.cdata(), other.size());
  return *this;
}

VoraBuffer::~VoraBuffer() { std::unique_ptr<Bytes> owned(AsBytes(handle_)); }

void VoraBuffer::SetData(const uint8_t* data, size_t size) {
  if (!data) size = 0;
  auto replacement = std::make_unique<Bytes>(data, data + size);
  std::unique_ptr<Bytes> old(AsBytes(handle_));
  handle_ = replacement.release();
}

void VoraBuffer::SetSize(size_t size) {
  if (!handle_) handle_ = std::make_unique<Bytes>().release();
  AsBytes(handle_)->resize(size, 0);
}

uint8_t* VoraBuffer::data() {
  return handle_ && !AsBytes(handle_)->empty() ? AsBytes(handle_)->data() : nullptr;
}

const uint8_t* VoraBuffer::cdata() const {
  return handle_ && !AsBytes(handle_)->empty() ? AsBytes(handle_)->data() : nullptr;
}

size_t VoraBuffer::size() const { return handle_ ? AsBytes(handle_)->size() : 0; }

const void* VoraBuffer::handle() const { return handle_; }

// ---- crypto records ----
// The stream type starts as STREAM_TYPE_UNKNOWN; the engine fills every field
// before it hands a record to a crypto delegate.

EncryptionData::EncryptionData()
    : room_id(0),
      str_room_id(),
      user_id(),
      stream_type(STREAM_TYPE_UNKNOWN),
      decrypted(nullptr),
      encrypted(nullptr) {}

EncryptionData::~EncryptionData() = default;

DecryptionData::DecryptionData()
    : room_id(0),
      str_room_id(),
      user_id(),
      stream_type(STREAM_TYPE_UNKNOWN),
      encrypted(nullptr),
      decrypted(nullptr) {}

DecryptionData::~DecryptionData() = default;

// ---- room records ----

RoomParams::RoomParams()
    : sdk_app_id(0),
      user_id(""),
      user_sig(""),
      room_id(0),
      str_room_id(""),
      custom_data(nullptr),
      decryption_delegate(nullptr),
      encryption_delegate(nullptr) {}

RoomParams::RoomParams(const RoomParams& other)
    : sdk_app_id(other.sdk_app_id),
      user_id(other.user_id),
      user_sig(other.user_sig),
      room_id(other.room_id),
      str_room_id(other.str_room_id),
      custom_data(other.custom_data),
      decryption_delegate(other.decryption_delegate),
      encryption_delegate(other.encryption_delegate) {}

RoomParams::~RoomParams() = default;

EnterRoomParams::EnterRoomParams()
    : room(),
      scene(VORA_SCENE_VIDEO_CALL),
      role(VORA_ROLE_ANCHOR),
      private_map_key(""),
      audio_obtain_params(),
      use_pixel_frame_input(false),
      use_pixel_frame_output(false) {}

EnterRoomParams::~EnterRoomParams() = default;

}  // namespace corvel::vora
