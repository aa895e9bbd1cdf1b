// A player identity: the issuing service provider and the game's local
// account id. A plain value; copy it freely between threads.
#pragma once

#include <ostream>
#include <string>
#include <utility>

namespace vel {

class PlayerAccount {
 public:
  PlayerAccount() = default;
  PlayerAccount(std::string service_provider, std::string id)
      : service_provider_(std::move(service_provider)), id_(std::move(id)) {}

  const std::string& service_provider() const { return service_provider_; }
  const std::string& id() const { return id_; }

  bool operator==(const PlayerAccount& other) const {
    return service_provider_ == other.service_provider_ && id_ == other.id_;
  }
  bool operator!=(const PlayerAccount& other) const {
    return !(*this == other);
  }

 private:
  std::string service_provider_;
  std::string id_;
};

// Text form for log lines: "service_provider:id".
inline std::ostream& operator<<(std::ostream& out,
                                const PlayerAccount& account) {
  return out << account.service_provider() << ':' << account.id();
}

}  // namespace vel
