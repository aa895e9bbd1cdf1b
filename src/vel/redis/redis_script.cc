// vel::RedisScript: SCRIPT LOAD and EVALSHA over the client's connections.
#include "vel/redis/redis_script.h"

#include <glog/logging.h>

#include <boost/uuid/detail/sha1.hpp>
#include <cstdio>
#include <utility>

#include "vel/redis/internal/redis_runtime.h"

namespace vel {
namespace {

using redis_internal::CurrentRuntime;

// Runs one command on the server of `tag`: kSuccess with the reply (which
// may be an error reply), or the failure to return. *maybe_ran: whether the
// command went out without an answer (then Redis may have run it).
Redis::Result RunCommand(const std::vector<std::string>& args,
                         const std::string& what, const std::string& tag,
                         RedisValue* reply, bool* maybe_ran) {
  std::vector<redis_internal::Answer> answers;
  const Redis::Result sent =
      redis_internal::Call(CurrentRuntime(), tag, what, {args}, &answers);
  *maybe_ran = sent == Redis::kConnectionFailure && !answers.empty() &&
               answers.front().maybe_ran;
  if (sent != Redis::kSuccess) return sent;
  *reply = std::move(answers.front().value);
  return Redis::kSuccess;
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
  RedisValue reply;
  bool maybe_ran = false;
  const Redis::Result sent =
      RunCommand({"SCRIPT", "LOAD", source_}, "SCRIPT LOAD " + name_, tag,
                 &reply, &maybe_ran);
  if (sent != Redis::kSuccess) {
    LOG(ERROR) << "Failed to load the Redis script " << name_ << ": "
               << Redis::ResultName(sent) << ", tag='" << tag << "'";
    return sent;
  }
  if (reply.type != RedisValue::kString) {
    LOG(ERROR) << "Failed to load the Redis script " << name_ << ": "
               << (reply.type == RedisValue::kError
                       ? reply.text
                       : std::string("unexpected reply type ") +
                             redis_internal::ValueTypeName(reply.type))
               << ", tag='" << tag << "'";
    return Redis::kError;
  }
  VLOG(1) << "Loaded the Redis script " << name_ << ": sha=" << reply.text
          << ", tag='" << tag << "'";
  std::lock_guard<std::mutex> lock(mutex_);
  sha_ = std::move(reply.text);
  return Redis::kSuccess;
}

Redis::Result RedisScript::EvalSha(const std::string& sha,
                                   const std::vector<std::string>& keys,
                                   const std::vector<std::string>& args,
                                   RedisValue* out, bool* noscript,
                                   bool* maybe_ran,
                                   const std::string& tag) const {
  *noscript = false;
  RedisValue value;
  const Redis::Result sent =
      RunCommand(ScriptCommand("EVALSHA", sha, keys, args), "EVALSHA " + name_,
                 tag, &value, maybe_ran);
  if (sent != Redis::kSuccess) return sent;
  if (value.type == RedisValue::kError) {
    *noscript = IsNoScript(value);
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
