// The host's Redis client: process-wide, static.
//
// Servers are addressed by tag: the empty tag "" is the default server
// (flags redis_host, redis_port), further tags come from the flag
// redis_servers ("tag=host:port,..."). Every command goes over a few
// pipelined connections per tag (RedisPipeline, redis_pipeline.h) whose
// replies the client reads on threads of its own: a synchronous call sends
// its command and waits for the reply, an asynchronous one hands the reply
// to the completion group. Connecting, Sentinel and failures are thus
// handled in one place for every caller. Every function below may be called
// from any thread concurrently.
//
// Results: kSuccess when Redis answered as expected; kNoValue when the key,
// field or member is absent (or a conditional SET did not set); kError for a
// Redis error reply (wrong type, missing source key, ...), an unexpected
// reply, an unknown tag or invalid arguments; kConnectionFailure when the
// server could not be reached or did not answer within redis_timeout_ms, and
// also when the client is not initialised. Every failure is logged.
//
// A broken connection is dropped and the next call connects again, so calls
// succeed again as soon as the server is back. While a server is down, calls
// fail within about redis_timeout_ms (at once when the server refuses
// connections) and the outage is logged once, at error level; its end is
// logged at info level.
//
// Keys, members, fields and values are binary-safe byte strings.
// REQUIRES: every output pointer is not null.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace vel {

class Redis {
 public:
  enum Result {
    kError = 0,
    kSuccess = 1,
    kNoValue = 2,
    kConnectionFailure = 3,
  };

  // SetAsync's first option: the unit of `expiry`.
  static constexpr int kExpireSeconds = 0;       // SET ... EX
  static constexpr int kExpireMilliseconds = 1;  // SET ... PX
  // SetAsync's second option: the condition of the set.
  static constexpr int kSetAlways = 0;
  static constexpr int kSetIfExists = 1;     // SET ... XX
  static constexpr int kSetIfNotExists = 2;  // SET ... NX

  using ScoredMembers = std::vector<std::pair<std::string, double>>;
  using MemberScores = std::vector<std::pair<Result, double>>;
  using GetCallback = std::function<void(Result, const std::string& value)>;
  using SetCallback = std::function<void(Result)>;
  using ExpireCallback = std::function<void(Result, bool key_existed)>;
  using ZScoreExtCallback =
      std::function<void(Result, const MemberScores& scores)>;

  // Host start-up, once (again only after Finalize). Reads the flags
  // redis_host, redis_port, redis_user, redis_password (or the file of
  // redis_password_file, read here; the same for the Sentinels' password),
  // redis_servers, redis_timeout_ms
  // and redis_async_threads_size, prepares the servers of every tag and the
  // completion I/O group "RedisCompletion" (redis_async_threads_size
  // threads). Connections are opened on first use: an unreachable server is
  // not a start-up failure. Tagged servers use the same user and password.
  // Returns false (logged) on a bad setting, an unreadable password file or
  // when already initialised. Ignores
  // SIGPIPE for the process, as a write to a connection the server closed
  // would otherwise end it. With redis_sentinels and redis_sentinel_master
  // the default server is the primary Sentinel names (redis_server.h). With
  // redis_tls every connection speaks TLS (redis_tls_ca, redis_tls_cert,
  // redis_tls_key, redis_tls_server_name, redis_tls_verify_server_name; the
  // files are read here, a bad one refused).
  static bool Initialize();

  // Host shutdown. Asynchronous calls not started yet complete with
  // kConnectionFailure, running ones are waited for (bounded by a few command
  // timeouts), then every connection is closed. Later calls return (or call
  // back with) kConnectionFailure. Safe to call twice, without or after a
  // failed Initialize, and from a completion callback.
  static void Finalize();

  // --- Synchronous commands: block the caller for one round trip. ---------

  // ZADD key score member. kSuccess whether the member was added or updated.
  // A NaN score is refused with kError.
  static Result ZAdd(const std::string& key, double score,
                     const std::string& member, const std::string& tag = "");
  // ZADD key score member [score member ...]: many members in one command
  // (bulk loads). An empty list gives kSuccess without asking the server; a
  // NaN score anywhere refuses the whole list with kError (nothing is sent).
  static Result ZAddMany(const std::string& key, const ScoredMembers& members,
                         const std::string& tag = "");
  // ZSCORE. kNoValue when the key or member is absent; *out then unchanged.
  // "inf" and "-inf" scores come back as infinities.
  static Result ZScore(const std::string& key, const std::string& member,
                       double* out, const std::string& tag = "");
  // ZREVRANK: the 0-based position, highest score first. kNoValue when the
  // key or member is absent; *out then unchanged.
  static Result ZRevRank(const std::string& key, const std::string& member,
                         int64_t* out, const std::string& tag = "");
  // ZREVRANGE key start stop [WITHSCORES] (Redis index rules, negative counts
  // from the end). On kSuccess *out holds the members in order (an empty
  // range or key gives an empty list), each with its score when
  // `with_scores`, else with 0.0; on failure *out is unchanged.
  static Result ZRevRange(const std::string& key, int64_t start, int64_t stop,
                          bool with_scores, ScoredMembers* out,
                          const std::string& tag = "");
  // ZCOUNT key min max, the bounds in Redis text form ("100", "(100",
  // "-inf", "+inf"). A malformed bound is a Redis error: kError.
  static Result ZCount(const std::string& key, const std::string& min,
                       const std::string& max, int64_t* out,
                       const std::string& tag = "");
  // ZCARD: 0 for an absent key (kSuccess).
  static Result ZCard(const std::string& key, int64_t* out,
                      const std::string& tag = "");
  // ZSCAN key cursor MATCH pattern COUNT count: one step of an iteration
  // (start with cursor "0") over the members whose name matches the glob
  // `pattern`. On kSuccess *next_cursor is "0" once the iteration is complete
  // and *out holds this step's members with their scores (possibly none; a
  // member may come again in a later step); on failure both are unchanged.
  static Result ZScan(const std::string& key, const std::string& cursor,
                      const std::string& pattern, int64_t count,
                      std::string* next_cursor, ScoredMembers* out,
                      const std::string& tag = "");
  // ZREM key member. kSuccess also when there was nothing to remove.
  static Result ZRem(const std::string& key, const std::string& member,
                     const std::string& tag = "");
  // DEL key. kSuccess also when the key did not exist.
  static Result Del(const std::string& key, const std::string& tag = "");
  // PING: kSuccess when the server answers PONG (health checks).
  static Result Ping(const std::string& tag = "");
  // EXISTS key into *out.
  static Result Exists(const std::string& key, bool* out,
                       const std::string& tag = "");
  // GET key into *out. kNoValue (and *out unchanged) when it is absent.
  static Result Get(const std::string& key, std::string* out,
                    const std::string& tag = "");
  // INCR key; the new value into *out. kError when the value is no integer.
  static Result Incr(const std::string& key, int64_t* out,
                     const std::string& tag = "");
  // RENAME key new_key, replacing new_key. A missing source key is a Redis
  // error: kError.
  static Result Rename(const std::string& key, const std::string& new_key,
                       const std::string& tag = "");
  // HGET. kNoValue when the key or field is absent; *out then unchanged.
  static Result HGet(const std::string& key, const std::string& field,
                     std::string* out, const std::string& tag = "");
  // HSET key field value. kSuccess for a new or an overwritten field.
  static Result HSet(const std::string& key, const std::string& field,
                     const std::string& value, const std::string& tag = "");
  // HSET key field value [field value ...]: many fields in one command (bulk
  // loads). An empty list gives kSuccess without asking the server.
  static Result HSetMany(
      const std::string& key,
      const std::vector<std::pair<std::string, std::string>>& fields,
      const std::string& tag = "");
  // HMGET: on kSuccess *out holds one value per field, in field order, ""
  // for an absent field. An empty field list gives kSuccess and an empty
  // *out without asking the server. On failure *out is unchanged.
  static Result HMGet(const std::string& key,
                      const std::vector<std::string>& fields,
                      std::vector<std::string>* out,
                      const std::string& tag = "");
  // HDEL key field. kSuccess also when the field did not exist.
  static Result HDel(const std::string& key, const std::string& field,
                     const std::string& tag = "");

  // --- Asynchronous commands: return at once; the callback runs exactly
  // once on a thread of the "RedisCompletion" group, never on the caller's
  // stack. (Once the host has stopped its I/O groups there is no thread to
  // run it on: the callback is then dropped with a log line.) -------------

  // GET. kNoValue (and "") when the key is absent.
  static void GetAsync(const std::string& key, GetCallback callback,
                       const std::string& tag = "");
  // SET key value with an expiry and a condition: `expiry_unit` is
  // kExpireSeconds or kExpireMilliseconds, `expiry` > 0, `condition` is
  // kSetAlways, kSetIfExists or kSetIfNotExists. kSuccess when set, kNoValue
  // when the condition kept Redis from setting it, kError for options out of
  // range (nothing is sent).
  static void SetAsync(const std::string& key, const std::string& value,
                       int expiry_unit, int64_t expiry, int condition,
                       SetCallback callback, const std::string& tag = "");
  // EXPIRE key seconds. kSuccess with key_existed false when there was no
  // key to renew. As in Redis, seconds <= 0 deletes the key.
  static void ExpireAsync(const std::string& key, int64_t seconds,
                          ExpireCallback callback, const std::string& tag = "");
  // ZSCORE of every member, pipelined in one round trip. `scores` has one
  // entry per member, in member order: (kSuccess, score) or (kNoValue, 0.0)
  // for an absent member, (kError, 0.0) when Redis refused that ZSCORE. The
  // first argument is kSuccess when every ZSCORE was answered without a
  // Redis error, kError otherwise; on a connection failure it and every
  // entry are kConnectionFailure. An empty member list gives kSuccess and no
  // entries without asking the server.
  static void ZScoreExtAsync(const std::string& key,
                             std::vector<std::string> members,
                             ZScoreExtCallback callback,
                             const std::string& tag = "");

  // Whether the default server (tag "") is a Redis Cluster
  // (--redis_cluster_nodes set): each command then goes to the node of its
  // key, and the keys of one command (a script's, say) must share a slot,
  // through a hash tag. Reads the flag, so it answers before Initialize too.
  static bool IsCluster();

  // What the calling thread's synchronous commands came to so far: a caller
  // that ran a chain of commands compares two readings to tell whether one
  // of them ended in kConnectionFailure, which leaves open whether the
  // server applied it. Counts only ever grow. Any thread (its own tally).
  struct ThreadTally {
    uint64_t commands = 0;             // commands handed to a server
    uint64_t connection_failures = 0;  // calls that gave kConnectionFailure
  };
  static ThreadTally GetThreadTally();

  // "kSuccess", "kNoValue", ... for logs.
  static const char* ResultName(Result result);

  Redis() = delete;
};

}  // namespace vel
