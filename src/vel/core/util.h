// Small conversions shared by the host and components; pure, any thread.
#pragma once

#include <boost/uuid/uuid.hpp>
#include <string>

namespace vel {
namespace util {

// The UUID held in `bytes`: its first 16 bytes, zero-padded when shorter.
boost::uuids::uuid FromBytes(const std::string& bytes);

// The 16 raw bytes of `uuid`.
std::string ToBytes(const boost::uuids::uuid& uuid);

}  // namespace util
}  // namespace vel
