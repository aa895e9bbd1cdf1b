// A byte buffer that carries one message body between the network and the
// handlers. A value type: not shared between threads without a copy.
#pragma once

#include <google/protobuf/message_lite.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vel {

class Buffer {
 public:
  Buffer() = default;
  // Copies `size` bytes from `data`.
  Buffer(const void* data, std::size_t size)
      : bytes_(static_cast<const std::uint8_t*>(data),
               static_cast<const std::uint8_t*>(data) + size) {}
  // The serialised form of `message`.
  explicit Buffer(const google::protobuf::MessageLite& message)
      : bytes_(message.ByteSizeLong()) {
    message.SerializeToArray(bytes_.data(), static_cast<int>(bytes_.size()));
  }

  const std::uint8_t* GetReadableBuffer() const { return bytes_.data(); }
  std::size_t GetReadableSize() const { return bytes_.size(); }
  std::string ToString() const {
    return std::string(bytes_.begin(), bytes_.end());
  }

 private:
  std::vector<std::uint8_t> bytes_;
};

}  // namespace vel
