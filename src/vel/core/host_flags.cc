#include "vel/core/host_flags.h"

DEFINE_string(manifest, "",
              "Path of the manifest (JSON) that names the component library "
              "and its arguments.");
DEFINE_string(res_root, ".",
              "Resource root: the directory that holds the component's data "
              "files (sql/database_schema.sql).");

DEFINE_int32(event_threads_size, 0,
             "Number of event threads that run posted events and handlers "
             "(0: one per core).");
DEFINE_int32(internal_threads_size, 0,
             "Number of threads of the 'default' I/O group (TCP), of the "
             "timer group and of the HTTP API (0: one per two cores, at "
             "least 1).");
DEFINE_int32(redis_async_threads_size, 0,
             "Number of threads of Redis completion and cache I/O groups "
             "(0: one per core).");
DEFINE_bool(enable_event_profiler, false,
            "Measure request latencies and publish them as counters.");

DEFINE_bool(enable_redis, true, "Enable the Redis client.");
DEFINE_string(redis_host, "127.0.0.1", "Host of the default Redis server.");
DEFINE_int32(redis_port, 6379, "Port of the default Redis server.");
DEFINE_string(redis_password, "",
              "Password of the Redis servers (empty: no AUTH). Prefer "
              "--redis_password_file: a command line is readable by every "
              "local user.");
DEFINE_string(redis_password_file, "",
              "File that holds the Redis password (instead of "
              "--redis_password); read once at start-up, one trailing "
              "newline ignored.");
DEFINE_string(redis_user, "",
              "ACL user of the Redis servers (Redis 6 'AUTH user password'); "
              "empty: the password alone, as the 'default' user.");
DEFINE_string(redis_servers, "",
              "Further Redis servers by tag: 'tag=host:port[,tag=host:port]'. "
              "The empty tag is the default server above.");
DEFINE_int32(redis_timeout_ms, 2000,
             "Connect and command timeout of Redis connections.");
DEFINE_string(redis_sentinels, "",
              "Redis Sentinels 'host:port[,host:port]' that name the default "
              "Redis server: its primary is asked of them (then redis_host "
              "and redis_port are unused) and followed through a failover. "
              "Empty: the fixed default server.");
DEFINE_string(redis_sentinel_master, "",
              "The master name the Sentinels monitor; required with "
              "redis_sentinels.");
DEFINE_string(redis_sentinel_password, "",
              "Password of the Sentinels themselves (empty: no AUTH); the "
              "primary uses redis_password. Prefer "
              "--redis_sentinel_password_file.");
DEFINE_string(redis_sentinel_password_file, "",
              "File that holds the Sentinels' password (instead of "
              "--redis_sentinel_password); read once at start-up, one "
              "trailing newline ignored.");
DEFINE_string(redis_sentinel_user, "",
              "ACL user of the Sentinels themselves (empty: the password "
              "alone); the primary uses redis_user.");
DEFINE_bool(redis_tls, false,
            "Speak TLS to every Redis server and Sentinel (the servers "
            "listen with tls-port).");
DEFINE_string(redis_tls_ca, "",
              "CA certificates (PEM file) that Redis servers' certificates "
              "must chain to, with redis_tls; empty: the system's trust "
              "store.");
DEFINE_string(redis_tls_cert, "",
              "Client certificate (PEM file, with its chain) shown to Redis "
              "servers that ask for one, with redis_tls; needs "
              "redis_tls_key.");
DEFINE_string(redis_tls_key, "", "Private key (PEM file) of redis_tls_cert.");
DEFINE_string(redis_tls_server_name, "",
              "Name the Redis servers' certificates must carry (and the SNI "
              "sent), with redis_tls; empty: the host name or address "
              "connected to.");
DEFINE_bool(redis_tls_verify_server_name, true,
            "Check that a Redis server's certificate is issued to the "
            "server name (the chain is always checked), with redis_tls.");
DEFINE_string(redis_cluster_nodes, "",
              "Seed nodes 'host:port[,host:port]' of a Redis Cluster that is "
              "the default Redis server: the slot map is read from them and "
              "each command goes to the node of its key (then redis_host and "
              "redis_port are unused). Empty: not a cluster.");

DEFINE_string(external_ip, "",
              "This host's external IP address; empty: detect it from the "
              "network interfaces.");
DEFINE_uint64(max_message_size, 1024 * 1024,
              "Largest accepted TCP frame body in bytes; a larger frame "
              "closes the connection.");
DEFINE_int32(max_connections, 10000,
             "Most game connections open at once; a connection above it is "
             "closed as soon as it is accepted (0 or less: no limit).");
DEFINE_int32(frame_read_timeout_seconds, 30,
             "Seconds within which a frame whose first byte has arrived must "
             "arrive whole; a slower frame closes the connection (0 or less: "
             "no limit). Idle connections between frames are not affected.");
DEFINE_int32(max_requests_in_flight, 1024,
             "Most requests of one connection received and not yet answered; "
             "while reached, the connection is not read (0 or less: no "
             "limit).");
DEFINE_int32(max_requests_in_progress, 256,
             "Most requests of all game connections handled at once; beyond "
             "it connections take turns, one request each (0 or less: no "
             "limit).");
DEFINE_int32(api_port, 18080, "Port of the HTTP API (0: disabled).");
DEFINE_string(api_bind_address, "127.0.0.1",
              "Address the HTTP API listens on. Loopback by default because "
              "the API can force resets.");
DEFINE_string(api_token, "",
              "Bearer token that every HTTP API route except /healthz, "
              "/readyz and the console's page requires (empty: none). "
              "Prefer --api_token_file: a command line is readable by every "
              "local user.");
DEFINE_string(api_token_file, "",
              "File whose first line is the HTTP API token (instead of "
              "--api_token).");
