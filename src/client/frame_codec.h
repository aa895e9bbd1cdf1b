// Framing of the leaderboard protocol: every message travels as a 4-byte
// big-endian length followed by that many bytes of a serialised message.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace google {
namespace protobuf {
class MessageLite;
}  // namespace protobuf
}  // namespace google

namespace plemox {

// Builds frames (static functions, any thread) and splits a received byte
// stream back into frame bodies (an instance: one per stream, used by one
// thread at a time). Used by the client library and by tests that play the
// server.
class FrameCodec {
 public:
  static constexpr size_t kHeaderSize = 4;
  // Large enough for any answer a game server asks for, small enough that a
  // corrupt length cannot make the reader allocate without bound.
  static constexpr size_t kDefaultMaxFrameSize = 16 * 1024 * 1024;

  enum class Status {
    kFrame,     // a whole body was taken out
    kNeedMore,  // the buffered bytes end inside a frame
    kTooLarge,  // a frame announced more than the limit; the stream is dead
  };

  // REQUIRES: max_frame_size <= 0xffffffff (the header's range).
  explicit FrameCodec(size_t max_frame_size = kDefaultMaxFrameSize);

  FrameCodec(const FrameCodec&) = delete;
  FrameCodec& operator=(const FrameCodec&) = delete;

  // Adds received bytes. Ignored once Next has reported kTooLarge: nothing
  // past an oversized header is ever looked at. Take frames out with Next
  // after every Append; the buffer then holds at most one partial frame plus
  // the latest bytes.
  void Append(const char* data, size_t size);
  void Append(const std::string& data) { Append(data.data(), data.size()); }

  // Takes the next complete body out into *body. On kNeedMore and kTooLarge
  // *body is left unchanged. After kTooLarge every later call answers
  // kTooLarge again.
  Status Next(std::string* body);

  // Bytes received but not yet taken out.
  size_t buffered_size() const { return buffer_.size() - read_offset_; }
  // The length announced by the header that was refused (0 before).
  uint64_t refused_length() const { return refused_length_; }
  size_t max_frame_size() const { return max_frame_size_; }

  // The 4-byte header announcing `length` body bytes.
  static std::string EncodeHeader(uint32_t length);
  // Header plus `body`. Returns false and leaves *frame unchanged when the
  // body is longer than `max_frame_size`.
  static bool Encode(const std::string& body, size_t max_frame_size,
                     std::string* frame);
  // Serialises `message` into one frame. Returns false and leaves *frame
  // unchanged when the message does not serialise (missing required fields)
  // or is longer than `max_frame_size`.
  static bool Encode(const google::protobuf::MessageLite& message,
                     size_t max_frame_size, std::string* frame);

 private:
  const size_t max_frame_size_;
  std::string buffer_;
  size_t read_offset_ = 0;
  uint64_t refused_length_ = 0;
};

}  // namespace plemox
