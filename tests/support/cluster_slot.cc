#include "support/cluster_slot.h"

namespace plemox {
namespace test {

std::uint16_t Crc16Xmodem(const std::string& data) {
  std::uint16_t crc = 0;
  for (const char c : data) {
    crc ^= static_cast<std::uint16_t>(static_cast<unsigned char>(c) << 8);
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc & 0x8000) != 0
                ? static_cast<std::uint16_t>((crc << 1) ^ 0x1021)
                : static_cast<std::uint16_t>(crc << 1);
    }
  }
  return crc;
}

int ClusterSlot(const std::string& key) {
  constexpr int kSlots = 16384;
  const std::size_t open = key.find('{');
  if (open != std::string::npos) {
    const std::size_t close = key.find('}', open + 1);
    if (close != std::string::npos && close > open + 1) {
      return Crc16Xmodem(key.substr(open + 1, close - open - 1)) % kSlots;
    }
  }
  return Crc16Xmodem(key) % kSlots;
}

}  // namespace test
}  // namespace plemox
