// vel::RedisScript: SCRIPT LOAD and EVALSHA over the client's pools.
#include "vel/redis/redis_script.h"

#include <glog/logging.h>

#include <boost/uuid/detail/sha1.hpp>
#include <cstdio>
#include <utility>

#include "vel/redis/internal/redis_runtime.h"

namespace vel {
namespace {

using redis_internal::CurrentRuntime;
using redis_internal::FindServer;
using redis_internal::RedisServerPool;

// Runs one command on the pool of `tag`: kSuccess with the reply, or the
// failure to return. *sent: whether the command was handed to a connection
// (then a failure may have come after Redis ran it).
Redis::Result RunCommand(const std::vector<std::string>& args,
                         const std::string& what, const std::string& tag,
                         RedisConnection::Reply* reply, bool* sent) {
  *sent = false;
  Redis::Result failure = Redis::kError;
  const std::shared_ptr<redis_internal::RedisRuntime> runtime =
      CurrentRuntime();
  std::shared_ptr<RedisServerPool> pool =
      FindServer(runtime, tag, {args.front(), what}, &failure);
  if (pool == nullptr) return failure;
  return pool->Run(what, [&](RedisConnection& connection) {
    *sent = true;
    *reply = connection.Command(args);
    // As for the pool's retry: a server that had closed the connection
    // before the command got through did not run it.
    if (*reply == nullptr && connection.closed_by_peer()) *sent = false;
    return *reply != nullptr;
  });
}

// The SHA1 of `text` in lower-case hex, as Redis names scripts.
std::string Sha1Hex(const std::string& text) {
  boost::uuids::detail::sha1 sha1;
  sha1.process_bytes(text.data(), text.size());
  boost::uuids::detail::sha1::digest_type digest;
  sha1.get_digest(digest);
  char hex[41];
  for (int i = 0; i < 5; ++i) {
    std::snprintf(hex + 8 * i, 9, "%08x", digest[i]);
  }
  return std::string(hex, 40);
}

// EVALSHA digest / EVAL source, then the key count, keys and arguments.
std::vector<std::string> ScriptCommand(const char* command,
                                       const std::string& script,
                                       const std::vector<std::string>& keys,
                                       const std::vector<std::string>& args) {
  std::vector<std::string> out;
  out.reserve(3 + keys.size() + args.size());
  out.emplace_back(command);
  out.push_back(script);
  out.push_back(std::to_string(keys.size()));
  out.insert(out.end(), keys.begin(), keys.end());
  out.insert(out.end(), args.begin(), args.end());
  return out;
}

bool IsNoScript(const RedisValue& reply) {
  return reply.type == RedisValue::kError &&
         reply.text.compare(0, 8, "NOSCRIPT") == 0;
}

}  // namespace

RedisScript::RedisScript(std::string name, std::string source)
    : name_(std::move(name)),
      source_(std::move(source)),
      digest_(Sha1Hex(source_)) {}

void RedisScript::RunAsync(RedisPipeline& pipeline, std::size_t lane,
                           const std::vector<std::string>& keys,
                           const std::vector<std::string>& args,
                           RedisPipeline::Callback callback) const {
  // Kept for the rare retry, which needs them again.
  auto saved = std::make_shared<
      std::pair<std::vector<std::string>, std::vector<std::string>>>(keys,
                                                                     args);
  pipeline.Send(
      lane, ScriptCommand("EVALSHA", digest_, keys, args),
      [this, &pipeline, lane, saved, callback = std::move(callback)](
          Redis::Result result, RedisValue reply, bool maybe_ran) mutable {
        if (!IsNoScript(reply)) {
          if (result == Redis::kError) {
            LOG(WARNING) << "Redis script " << name_
                         << " failed: " << reply.text;
          }
          callback(result, std::move(reply), maybe_ran);
          return;
        }
        LOG(WARNING) << "Redis answered NOSCRIPT for the script " << name_
                     << ", running it with its source, which loads it again";
        pipeline.Send(
            lane, ScriptCommand("EVAL", source_, saved->first, saved->second),
            [this, callback = std::move(callback)](
                Redis::Result result, RedisValue reply, bool maybe_ran) {
              if (result == Redis::kError) {
                LOG(WARNING)
                    << "Redis script " << name_ << " failed: " << reply.text;
              }
              callback(result, std::move(reply), maybe_ran);
            });
      });
}

std::string RedisScript::sha() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return sha_;
}

Redis::Result RedisScript::Load(const std::string& tag) const {
  RedisConnection::Reply reply;
  bool command_sent = false;
  const Redis::Result sent =
      RunCommand({"SCRIPT", "LOAD", source_}, "SCRIPT LOAD " + name_, tag,
                 &reply, &command_sent);
  if (sent != Redis::kSuccess) {
    LOG(ERROR) << "Failed to load the Redis script " << name_ << ": "
               << Redis::ResultName(sent) << ", tag='" << tag << "'";
    return sent;
  }
  if (reply->type != REDIS_REPLY_STRING) {
    LOG(ERROR) << "Failed to load the Redis script " << name_ << ": "
               << (reply->type == REDIS_REPLY_ERROR
                       ? std::string(reply->str, reply->len)
                       : std::string("unexpected reply type ") +
                             redis_internal::ReplyTypeName(reply->type))
               << ", tag='" << tag << "'";
    return Redis::kError;
  }
  std::string sha(reply->str, reply->len);
  VLOG(1) << "Loaded the Redis script " << name_ << ": sha=" << sha << ", tag='"
          << tag << "'";
  std::lock_guard<std::mutex> lock(mutex_);
  sha_ = std::move(sha);
  return Redis::kSuccess;
}

Redis::Result RedisScript::EvalSha(const std::string& sha,
                                   const std::vector<std::string>& keys,
                                   const std::vector<std::string>& args,
                                   RedisValue* out, bool* noscript,
                                   bool* maybe_ran,
                                   const std::string& tag) const {
  *noscript = false;
  std::vector<std::string> command;
  command.reserve(3 + keys.size() + args.size());
  command.emplace_back("EVALSHA");
  command.push_back(sha);
  command.push_back(std::to_string(keys.size()));
  command.insert(command.end(), keys.begin(), keys.end());
  command.insert(command.end(), args.begin(), args.end());
  RedisConnection::Reply reply;
  bool command_sent = false;
  const Redis::Result sent =
      RunCommand(command, "EVALSHA " + name_, tag, &reply, &command_sent);
  if (sent != Redis::kSuccess) {
    *maybe_ran = sent == Redis::kConnectionFailure && command_sent;
    return sent;
  }
  RedisValue value;
  if (!redis_internal::ToRedisValue(*reply, &value)) {
    LOG(ERROR) << "Unexpected reply of the Redis script " << name_
               << ": reply type=" << redis_internal::ReplyTypeName(reply->type)
               << ", tag='" << tag << "'";
    return Redis::kError;
  }
  if (value.type == RedisValue::kError) {
    *noscript = value.text.compare(0, 8, "NOSCRIPT") == 0;
    *out = std::move(value);
    return Redis::kError;
  }
  *out = std::move(value);
  return Redis::kSuccess;
}

Redis::Result RedisScript::Run(const std::vector<std::string>& keys,
                               const std::vector<std::string>& args,
                               RedisValue* out, const std::string& tag,
                               bool* maybe_ran) const {
  bool ran = false;
  if (maybe_ran == nullptr) maybe_ran = &ran;
  *maybe_ran = false;
  std::string digest = sha();
  if (digest.empty()) {
    const Redis::Result loaded = Load(tag);
    if (loaded != Redis::kSuccess) return loaded;
    digest = sha();
  }
  bool noscript = false;
  Redis::Result result =
      EvalSha(digest, keys, args, out, &noscript, maybe_ran, tag);
  if (noscript) {
    // The server lost its script cache (a restart, SCRIPT FLUSH, a fail-over
    // to a replica that never saw the script): load it again and retry once.
    LOG(WARNING) << "Redis answered NOSCRIPT for the script " << name_
                 << ", loading it again: tag='" << tag << "'";
    const Redis::Result loaded = Load(tag);
    if (loaded != Redis::kSuccess) return loaded;
    result = EvalSha(sha(), keys, args, out, &noscript, maybe_ran, tag);
  }
  if (result == Redis::kError && out->type == RedisValue::kError) {
    LOG(WARNING) << "Redis script " << name_ << " failed: " << out->text
                 << ", tag='" << tag << "'";
  }
  return result;
}

}  // namespace vel
