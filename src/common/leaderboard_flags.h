// Command-line flags of the leaderboard component. They are defined in
// leaderboard_flags.cc and registered when the library is loaded; the command
// line sets them before the component is installed and nothing writes them
// afterwards (installation fills mysql_pw from mysql_pw_file first, before
// anything reads it), so any thread may read them.
#pragma once

#include <gflags/gflags.h>

// TCP server.
DECLARE_uint64(server_tcp_port);

// MySQL/MariaDB connection.
DECLARE_string(mysql_server_url);
DECLARE_string(mysql_id);
DECLARE_string(mysql_pw);
DECLARE_string(mysql_pw_file);
DECLARE_string(mysql_ssl_ca);
DECLARE_string(mysql_ssl_cert);
DECLARE_string(mysql_ssl_key);
DECLARE_bool(mysql_ssl_verify_server_cert);
DECLARE_string(mysql_db_name);
DECLARE_uint64(mysql_db_connection_count);
DECLARE_uint64(mysql_db_rotation_connections);
DECLARE_string(mysql_db_character_set);
DECLARE_int64(mysql_db_slow_query_threshold_time_in_ms);
DECLARE_uint64(mysql_local_account_column_length);

// Database statements and schema.
DECLARE_bool(leaderboard_use_db_stored_procedure);
DECLARE_bool(leaderboard_use_db_auto_schema_generation);
DECLARE_string(export_db_schema_to_file);
DECLARE_bool(leaderboard_use_db_bulk_insert);
DECLARE_uint64(force_flush_interval_in_msec);
DECLARE_uint64(mysql_db_pending_write_limit);
DECLARE_bool(mysql_db_write_backlog);
DECLARE_uint64(mysql_db_shutdown_drain_ms);
DECLARE_int32(database_thread_nice);

// Dated weekly tables and keys.
DECLARE_bool(use_leaderboard_table_with_date);

// Ranking cache: server-side scripts or the command chain.
DECLARE_bool(redis_cache_use_scripts);
DECLARE_int32(redis_cache_connections);

// Answers of top-N queries kept in the server.
DECLARE_uint64(top_answer_cache_ms);
DECLARE_uint64(top_answer_cache_max_bytes);

// Bounded cost of one request and access control.
DECLARE_uint64(max_records_per_answer);
DECLARE_uint64(max_answer_bytes);
DECLARE_uint64(max_display_name_bytes);
DECLARE_uint64(max_metadata_bytes);
DECLARE_int64(submission_id_ttl_seconds);
DECLARE_uint64(max_competitors_per_query);
DECLARE_uint64(max_deletions_per_request);
DECLARE_string(allowed_app_ids);
// Game port access: keys, where it listens, failed authentications.
DECLARE_string(game_server_keys_file);
DECLARE_string(server_bind_address);
DECLARE_uint64(max_failed_authentications_per_minute);
DECLARE_uint64(failed_authentication_wait_seconds);
DECLARE_uint64(authentication_timeout_seconds);
DECLARE_string(server_tls_cert);
DECLARE_string(server_tls_key);
DECLARE_string(server_tls_client_ca);
DECLARE_string(server_tls_client_subjects_file);

// Administrative API.
DECLARE_bool(enable_reset_leaderboard_api);

// Closed periods: the archive and the period-end notification.
DECLARE_uint64(period_archive_retention_days);
DECLARE_uint64(period_archive_retention_weeks);
DECLARE_uint64(period_archive_retention_months);
DECLARE_string(period_end_webhook_url);
DECLARE_string(period_end_webhook_secret);
DECLARE_uint64(period_end_top_n);
DECLARE_uint64(period_end_webhook_connect_timeout_ms);
DECLARE_uint64(period_end_webhook_timeout_ms);
DECLARE_uint64(period_end_webhook_max_attempts);
DECLARE_uint64(period_archive_threads);
DECLARE_uint64(period_end_webhook_concurrency);

// Recovery mode.
DECLARE_bool(recover_leaderboard);
DECLARE_bool(force_leaderboard_recovery);
DECLARE_string(recovery_target_leaderboard_ids);
