// vel::RedisScript: SCRIPT LOAD and EVALSHA over the client's pools.
#include "vel/redis_script.h"

#include <glog/logging.h>

#include <utility>

#include "vel/redis_runtime.h"

namespace vel {
namespace {

using redis_internal::CurrentRuntime;
using redis_internal::FindServer;
using redis_internal::RedisServerPool;

// Replies nest only as deep as the script's tables; hiredis itself stops
// at a few levels, this bound only keeps the copy from recursing without
// end on a malformed tree.
constexpr int kMaxDepth = 16;

bool ToValue(const redisReply& reply, int depth, RedisValue* out) {
  if (depth > kMaxDepth) return false;
  switch (reply.type) {
    case REDIS_REPLY_NIL:
      out->type = RedisValue::kNil;
      return true;
    case REDIS_REPLY_INTEGER:
      out->type = RedisValue::kInteger;
      out->integer = reply.integer;
      return true;
    case REDIS_REPLY_STRING:
      out->type = RedisValue::kString;
      out->text.assign(reply.str, reply.len);
      return true;
    case REDIS_REPLY_STATUS:
      out->type = RedisValue::kStatus;
      out->text.assign(reply.str, reply.len);
      return true;
    case REDIS_REPLY_ERROR:
      out->type = RedisValue::kError;
      out->text.assign(reply.str, reply.len);
      return true;
    case REDIS_REPLY_ARRAY:
      out->type = RedisValue::kArray;
      out->elements.resize(reply.elements);
      for (std::size_t i = 0; i < reply.elements; ++i) {
        if (reply.element[i] == nullptr ||
            !ToValue(*reply.element[i], depth + 1, &out->elements[i])) {
          return false;
        }
      }
      return true;
    default:
      return false;
  }
}

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

}  // namespace

RedisScript::RedisScript(std::string name, std::string source)
    : name_(std::move(name)), source_(std::move(source)) {}

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
  if (!ToValue(*reply, 0, &value)) {
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
