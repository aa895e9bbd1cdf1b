// vel::Redis: start-up and shutdown of the client, and its server
// configuration.
#include "vel/redis/redis.h"

#include <glog/logging.h>
#include <signal.h>

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "vel/core/host_flags.h"
#include "vel/core/io_service.h"
#include "vel/core/secret_file.h"
#include "vel/redis/internal/redis_cluster.h"
#include "vel/redis/internal/redis_endpoint.h"
#include "vel/redis/internal/redis_runtime.h"
#include "vel/redis/internal/redis_sentinel.h"
#include "vel/redis/internal/redis_text.h"
#include "vel/redis/internal/redis_tls.h"
#include "vel/redis/redis_pipeline.h"

namespace vel {
namespace {

using Clock = std::chrono::steady_clock;
using redis_internal::ParseEndpoint;
using redis_internal::RedisCluster;
using redis_internal::RedisEndpoint;
using redis_internal::RedisRuntime;
using redis_internal::RedisSentinel;
using redis_internal::RedisServer;
using redis_internal::RedisTls;
using redis_internal::SplitList;
using redis_internal::the_async_context;
using redis_internal::the_runtime;
using redis_internal::the_runtime_mutex;
using redis_internal::tls_running_runtime;
using redis_internal::Trim;

constexpr char kAsyncGroupName[] = "RedisCompletion";
// Connections per server. A caller that waits for its answer takes the one
// with the fewest commands in flight, so that a slow command (a page of a
// large ranking, say) holds up no caller while another connection is idle.
constexpr std::size_t kLanes = 4;
// The client's own threads, which read every reply. One: a reply then
// reaches its waiting caller with one wake-up, where a second thread would
// mostly add a hand-over between the two (the cost of a blocking call is
// its context switches). Connects and their handshakes run there too,
// without blocking it.
constexpr std::size_t kClientThreads = 1;

// How a connection authenticates, for the start-up log (never the password).
std::string AuthText(const RedisEndpoint& endpoint) {
  std::string text = !endpoint.user.empty() ? "user '" + endpoint.user + "'"
                     : endpoint.password.empty() ? "off"
                                                 : "on";
  return text + ", tls=" +
         (endpoint.tls != nullptr ? endpoint.tls->Describe() : "off");
}

// Adds the servers of --redis_servers ("tag=host:port,...") to `servers`.
// Returns false with a log line on a malformed entry.
bool ParseServers(const RedisEndpoint& defaults,
                  std::map<std::string, RedisEndpoint>* servers) {
  for (const std::string& entry : SplitList(FLAGS_redis_servers)) {
    const std::size_t equals = entry.find('=');
    if (equals == std::string::npos) {
      LOG(ERROR) << "Bad --redis_servers entry '" << entry
                 << "': expected tag=host:port";
      return false;
    }
    const std::string tag = Trim(entry.substr(0, equals));
    const std::string address = Trim(entry.substr(equals + 1));
    if (tag.empty()) {
      LOG(ERROR) << "Bad --redis_servers entry '" << entry
                 << "': the tag is empty (the default server is set with "
                    "--redis_host and --redis_port)";
      return false;
    }
    RedisEndpoint endpoint = defaults;
    if (!ParseEndpoint(address, &endpoint)) {
      LOG(ERROR) << "Bad --redis_servers entry '" << entry
                 << "': expected tag=host:port with a port from 1 to 65535";
      return false;
    }
    if (!servers->emplace(tag, endpoint).second) {
      LOG(ERROR) << "Bad --redis_servers: tag '" << tag
                 << "' is given more than once";
      return false;
    }
  }
  return true;
}

// With --redis_sentinels, sets *out to the Sentinel group that names the
// default server. Returns false with a log line on a bad setting.
bool MakeSentinel(const RedisEndpoint& defaults,
                  std::shared_ptr<RedisSentinel>* out) {
  if (FLAGS_redis_sentinels.empty()) {
    if (!FLAGS_redis_sentinel_master.empty()) {
      LOG(ERROR) << "--redis_sentinel_master is set but --redis_sentinels is "
                    "empty: name the Sentinels too";
      return false;
    }
    return true;
  }
  if (FLAGS_redis_sentinel_master.empty()) {
    LOG(ERROR) << "--redis_sentinels is set but --redis_sentinel_master is "
                  "empty: name the master the Sentinels monitor";
    return false;
  }
  RedisEndpoint sentinel_defaults;
  sentinel_defaults.user = FLAGS_redis_sentinel_user;
  std::string error;
  if (!SecretFile::Resolve(
          "redis_sentinel_password", FLAGS_redis_sentinel_password,
          "redis_sentinel_password_file", FLAGS_redis_sentinel_password_file,
          &sentinel_defaults.password, &error)) {
    LOG(ERROR) << "Redis Sentinel password refused: " << error;
    return false;
  }
  sentinel_defaults.timeout_ms = defaults.timeout_ms;
  sentinel_defaults.tls = defaults.tls;
  std::vector<RedisEndpoint> sentinels;
  if (!ParseEndpointList(FLAGS_redis_sentinels, sentinel_defaults, "Sentinel",
                         &sentinels, &error)) {
    LOG(ERROR) << "Bad --redis_sentinels='" << FLAGS_redis_sentinels
               << "': " << error;
    return false;
  }
  *out = std::make_shared<RedisSentinel>(std::move(sentinels),
                                         FLAGS_redis_sentinel_master);
  return true;
}

// With --redis_tls, sets *out to the TLS settings of every connection.
// Returns false with a log line when they cannot be used; a TLS flag without
// --redis_tls is refused too, since the operator meant TLS.
bool MakeTls(std::shared_ptr<const RedisTls>* out) {
  RedisTls::Settings settings;
  settings.ca_file = FLAGS_redis_tls_ca;
  settings.cert_file = FLAGS_redis_tls_cert;
  settings.key_file = FLAGS_redis_tls_key;
  settings.server_name = FLAGS_redis_tls_server_name;
  settings.verify_server_name = FLAGS_redis_tls_verify_server_name;
  if (!FLAGS_redis_tls) {
    if (!settings.ca_file.empty() || !settings.cert_file.empty() ||
        !settings.key_file.empty() || !settings.server_name.empty()) {
      LOG(ERROR) << "--redis_tls_ca, --redis_tls_cert, --redis_tls_key or "
                    "--redis_tls_server_name is set but --redis_tls is off: "
                    "give --redis_tls to speak TLS to Redis";
      return false;
    }
    return true;
  }
  std::string error;
  *out = RedisTls::Create(settings, &error);
  if (*out == nullptr) {
    LOG(ERROR) << "Redis TLS settings refused: " << error;
    return false;
  }
  return true;
}

}  // namespace

bool Redis::Initialize() {
  if (FLAGS_redis_timeout_ms <= 0) {
    LOG(ERROR) << "Bad --redis_timeout_ms=" << FLAGS_redis_timeout_ms
               << ": must be positive";
    return false;
  }
  if (FLAGS_redis_async_threads_size <= 0) {
    LOG(ERROR) << "Bad --redis_async_threads_size="
               << FLAGS_redis_async_threads_size << ": must be positive";
    return false;
  }
  RedisEndpoint defaults;
  defaults.host = FLAGS_redis_host;
  defaults.port = FLAGS_redis_port;
  defaults.user = FLAGS_redis_user;
  std::string error;
  if (!SecretFile::Resolve("redis_password", FLAGS_redis_password,
                           "redis_password_file", FLAGS_redis_password_file,
                           &defaults.password, &error)) {
    LOG(ERROR) << "Redis password refused: " << error;
    return false;
  }
  defaults.timeout_ms = FLAGS_redis_timeout_ms;
  if (!MakeTls(&defaults.tls)) return false;
  const bool unix_socket = !defaults.host.empty() && defaults.host[0] == '/';
  if (defaults.host.empty() ||
      (!unix_socket && (defaults.port < 1 || defaults.port > 65535))) {
    LOG(ERROR) << "Bad default Redis server --redis_host='" << FLAGS_redis_host
               << "' --redis_port=" << FLAGS_redis_port;
    return false;
  }
  std::map<std::string, RedisEndpoint> endpoints;
  endpoints.emplace("", defaults);
  if (!ParseServers(defaults, &endpoints)) return false;
  std::shared_ptr<RedisSentinel> sentinel;
  if (!MakeSentinel(defaults, &sentinel)) return false;
  std::shared_ptr<RedisCluster> cluster;
  if (!RedisCluster::FromFlags(defaults, sentinel != nullptr, &cluster)) {
    return false;
  }

  // A write into a connection the server closed must not raise SIGPIPE
  // and end the process (the client's own writes never raise it; a
  // library's might).
  struct sigaction current {};
  if (sigaction(SIGPIPE, nullptr, &current) == 0 &&
      current.sa_handler == SIG_DFL) {
    signal(SIGPIPE, SIG_IGN);
  }

  std::lock_guard<std::mutex> lock(the_runtime_mutex);
  if (the_runtime != nullptr) {
    LOG(ERROR) << "Redis::Initialize called twice; call Finalize first";
    return false;
  }
  auto runtime = std::make_shared<RedisRuntime>();
  runtime->timeout_ms = FLAGS_redis_timeout_ms;
  runtime->async_context = IoService::GetOrCreateIoGroup(
      kAsyncGroupName,
      static_cast<std::size_t>(FLAGS_redis_async_threads_size));
  if (runtime->async_context == nullptr) {
    LOG(ERROR) << "Cannot create the I/O group " << kAsyncGroupName;
    return false;
  }
  // Before the pipelines: the default one routes by slot in a cluster.
  RedisCluster::Install(cluster);
  for (const auto& [tag, endpoint] : endpoints) {
    runtime->pipelines.emplace(
        tag, std::make_shared<RedisPipeline>(runtime->io, tag, kLanes));
    if (tag.empty() && sentinel != nullptr) {
      runtime->servers.emplace(
          tag, std::make_shared<RedisServer>(tag, endpoint, sentinel));
      LOG(INFO) << "Redis server: tag='', the primary of master '"
                << sentinel->master_name() << "' as the Sentinels "
                << sentinel->Addresses()
                << " name it (--redis_host and --redis_port unused), "
                   "timeout_ms="
                << endpoint.timeout_ms << ", auth=" << AuthText(endpoint);
      continue;
    }
    if (tag.empty() && cluster != nullptr) {
      runtime->servers.emplace(tag,
                               std::make_shared<RedisServer>(tag, endpoint));
      LOG(INFO) << "Redis server: tag='', the Redis Cluster of the nodes "
                << cluster->SeedText()
                << " (--redis_host and --redis_port unused), timeout_ms="
                << endpoint.timeout_ms << ", auth=" << AuthText(endpoint);
      continue;
    }
    runtime->servers.emplace(tag, std::make_shared<RedisServer>(tag, endpoint));
    LOG(INFO) << "Redis server: tag='" << tag << "', address=" << endpoint.host
              << (endpoint.host[0] == '/' ? std::string()
                                          : ":" + std::to_string(endpoint.port))
              << ", timeout_ms=" << endpoint.timeout_ms
              << ", auth=" << AuthText(endpoint);
  }
  runtime->StartThreads(kClientThreads);
  the_async_context = runtime->async_context;
  the_runtime = std::move(runtime);
  return true;
}

void Redis::Finalize() {
  std::shared_ptr<RedisRuntime> runtime;
  {
    std::lock_guard<std::mutex> lock(the_runtime_mutex);
    runtime.swap(the_runtime);
  }
  if (runtime == nullptr) return;

  // A callback that calls Finalize waits for everything but itself.
  const int own = tls_running_runtime == runtime.get() ? 1 : 0;
  // A running call takes at most a connect and two command timeouts. Calls
  // still queued on a stopped completion group never run: no use waiting.
  const auto deadline =
      Clock::now() + std::chrono::milliseconds(3 * runtime->timeout_ms + 1000);
  int left = 0;
  {
    std::unique_lock<std::mutex> lock(runtime->mutex);
    runtime->closing = true;
    while ((runtime->pending > own || runtime->blocking > 0) &&
           Clock::now() < deadline && !runtime->async_context->stopped()) {
      runtime->drained.wait_for(lock, std::chrono::milliseconds(50));
    }
    left = runtime->pending - own;
  }
  if (left > 0) {
    LOG(WARNING) << "Redis::Finalize: " << left
                 << " asynchronous calls did not finish in time; they "
                    "complete with kConnectionFailure if their threads run";
  }
  runtime->StopThreads();
  RedisCluster::Install(nullptr);
  LOG(INFO) << "Redis client finalized";
}

Redis::ThreadTally Redis::GetThreadTally() {
  return redis_internal::tls_thread_tally;
}

const char* Redis::ResultName(Result result) {
  switch (result) {
    case kError:
      return "kError";
    case kSuccess:
      return "kSuccess";
    case kNoValue:
      return "kNoValue";
    case kConnectionFailure:
      return "kConnectionFailure";
  }
  return "unknown";
}

}  // namespace vel
