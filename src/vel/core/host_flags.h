// Command-line flags of the engine host. Defined in the host library so that
// the host executable, the component and the tests all read the same values.
// Flags are written only while the command line is parsed; read them from any
// thread afterwards.
#pragma once

#include <gflags/gflags.h>

// Components.
DECLARE_string(manifest);
DECLARE_string(res_root);

// Thread groups.
DECLARE_int32(event_threads_size);
DECLARE_int32(internal_threads_size);
DECLARE_int32(redis_async_threads_size);
DECLARE_bool(enable_event_profiler);

// Redis.
DECLARE_bool(enable_redis);
DECLARE_string(redis_host);
DECLARE_int32(redis_port);
DECLARE_string(redis_password);
DECLARE_string(redis_password_file);
DECLARE_string(redis_user);
DECLARE_string(redis_servers);
DECLARE_int32(redis_timeout_ms);
DECLARE_string(redis_sentinels);
DECLARE_string(redis_sentinel_master);
DECLARE_string(redis_sentinel_password);
DECLARE_string(redis_sentinel_password_file);
DECLARE_string(redis_sentinel_user);
DECLARE_bool(redis_tls);
DECLARE_string(redis_tls_ca);
DECLARE_string(redis_tls_cert);
DECLARE_string(redis_tls_key);
DECLARE_string(redis_tls_server_name);
DECLARE_bool(redis_tls_verify_server_name);
DECLARE_string(redis_cluster_nodes);

// Networking.
DECLARE_string(external_ip);
DECLARE_uint64(max_message_size);
DECLARE_int32(max_connections);
DECLARE_int32(frame_read_timeout_seconds);
DECLARE_int32(max_requests_in_flight);
DECLARE_int32(max_requests_in_progress);
DECLARE_int32(api_port);
DECLARE_string(api_bind_address);
DECLARE_string(api_token);
DECLARE_string(api_token_file);
