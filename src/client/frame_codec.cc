#include "client/frame_codec.h"

#include <google/protobuf/message_lite.h>

#include <limits>

namespace plemox {

FrameCodec::FrameCodec(size_t max_frame_size)
    : max_frame_size_(max_frame_size) {}

void FrameCodec::Append(const char* data, size_t size) {
  if (refused_length_ != 0 || size == 0) return;
  // Drop what has been taken out before the buffer grows, so that a
  // long-lived stream does not keep every frame it ever carried.
  if (read_offset_ > 0 && read_offset_ >= buffer_.size() / 2) {
    buffer_.erase(0, read_offset_);
    read_offset_ = 0;
  }
  buffer_.append(data, size);
}

FrameCodec::Status FrameCodec::Next(std::string* body) {
  if (refused_length_ != 0) return Status::kTooLarge;
  if (buffered_size() < kHeaderSize) return Status::kNeedMore;
  const auto* header =
      reinterpret_cast<const unsigned char*>(buffer_.data() + read_offset_);
  const uint64_t length = (uint64_t{header[0]} << 24) |
                          (uint64_t{header[1]} << 16) |
                          (uint64_t{header[2]} << 8) | uint64_t{header[3]};
  if (length > max_frame_size_) {
    // A zero length can never be refused, so refused_length_ != 0 marks the
    // dead stream.
    refused_length_ = length;
    buffer_.clear();
    read_offset_ = 0;
    return Status::kTooLarge;
  }
  if (buffered_size() - kHeaderSize < length) return Status::kNeedMore;
  body->assign(buffer_, read_offset_ + kHeaderSize, length);
  read_offset_ += kHeaderSize + length;
  if (read_offset_ == buffer_.size()) {
    buffer_.clear();
    read_offset_ = 0;
  }
  return Status::kFrame;
}

std::string FrameCodec::EncodeHeader(uint32_t length) {
  std::string header(kHeaderSize, '\0');
  header[0] = static_cast<char>((length >> 24) & 0xff);
  header[1] = static_cast<char>((length >> 16) & 0xff);
  header[2] = static_cast<char>((length >> 8) & 0xff);
  header[3] = static_cast<char>(length & 0xff);
  return header;
}

bool FrameCodec::Encode(const std::string& body, size_t max_frame_size,
                        std::string* frame) {
  if (body.size() > max_frame_size ||
      body.size() > std::numeric_limits<uint32_t>::max()) {
    return false;
  }
  std::string out = EncodeHeader(static_cast<uint32_t>(body.size()));
  out += body;
  *frame = std::move(out);
  return true;
}

bool FrameCodec::Encode(const google::protobuf::MessageLite& message,
                        size_t max_frame_size, std::string* frame) {
  const size_t size = message.ByteSizeLong();
  if (size > max_frame_size || size > std::numeric_limits<uint32_t>::max()) {
    return false;
  }
  std::string out = EncodeHeader(static_cast<uint32_t>(size));
  if (!message.AppendToString(&out)) return false;
  *frame = std::move(out);
  return true;
}

}  // namespace plemox
