#include "vel/core/util.h"

#include <algorithm>

namespace vel {
namespace util {

boost::uuids::uuid FromBytes(const std::string& bytes) {
  boost::uuids::uuid uuid{};
  std::copy_n(bytes.begin(), std::min(bytes.size(), uuid.size()), uuid.begin());
  return uuid;
}

std::string ToBytes(const boost::uuids::uuid& uuid) {
  return std::string(uuid.begin(), uuid.end());
}

}  // namespace util
}  // namespace vel
