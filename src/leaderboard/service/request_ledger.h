// RequestLedger: the requests of one connection that await their answer,
// with their type and arrival time, by request UUID. A failure answer
// carries no type, so the metrics look the request up here to count the
// answer by what was asked and to time it. Thread-safe; bounded.
#pragma once

#include <boost/functional/hash.hpp>
#include <boost/uuid/uuid.hpp>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <unordered_map>

namespace plemox {

class RequestLedger {
 public:
  // More entries than a connection may have in flight; a request received
  // while this many wait is not recorded (its answer is then counted by the
  // type it carries, or as of unknown type).
  static constexpr std::size_t kMaxEntries = 65536;

  struct Entry {
    std::int32_t type = 0;      // Leaderboard::Request::Type
    std::int64_t start_us = 0;  // vel::MonotonicClock at arrival
  };

  RequestLedger() = default;
  RequestLedger(const RequestLedger&) = delete;
  RequestLedger& operator=(const RequestLedger&) = delete;

  // Records a request that will be answered exactly once. Requests that
  // share a UUID are kept apart and taken in no particular order.
  void Add(const boost::uuids::uuid& request_uuid, std::int32_t type,
           std::int64_t start_us);

  // Takes out an entry of `request_uuid` into *entry and returns true;
  // returns false and leaves *entry unchanged when there is none.
  bool Take(const boost::uuids::uuid& request_uuid, Entry* entry);

  std::size_t size() const;

 private:
  mutable std::mutex mutex_;
  std::unordered_multimap<boost::uuids::uuid, Entry,
                          boost::hash<boost::uuids::uuid>>
      entries_;  // GUARDED_BY(mutex_)
};

}  // namespace plemox
