// The Redis Cluster slot of a key, computed by the tests on their own to
// check which keys share a slot: CRC16 (XMODEM) of the key's hash tag (the
// text between the first '{' and the first '}' after it, when not empty) or
// of the whole key, modulo 16384. Pure; any thread.
#pragma once

#include <cstdint>
#include <string>

namespace plemox {
namespace test {

// CRC16 with polynomial 0x1021, initial value 0, no reflection (XMODEM):
// "123456789" gives 0x31C3.
std::uint16_t Crc16Xmodem(const std::string& data);

// The slot Redis Cluster gives `key`, 0 to 16383.
int ClusterSlot(const std::string& key);

}  // namespace test
}  // namespace plemox
