-- Stored procedures of the leaderboard server.
--
-- The server reads this file at start-up (when stored procedures are on),
-- replaces [CHARACTER_SET] by the connection character set and
-- [LOCAL_ACCOUNT_TYPE] by the local account column type, splits it at each
-- query delimiter line below and runs every piece as one statement, so
-- bodies may hold ';' freely. Keep comments inside a piece: a piece of
-- comments only would be sent as an empty statement. The tables are
-- created by the server itself.
--
-- Values always reach the tables as bound parameters; table names are built
-- from the leaderboard id and quoted as identifiers.

-- Inserts or updates one player's row of a score table.
CREATE OR REPLACE PROCEDURE sp_score_submission(
  IN p_leaderboard_id VARCHAR(64) CHARACTER SET [CHARACTER_SET],
  IN p_table_name VARCHAR(64) CHARACTER SET [CHARACTER_SET],
  IN p_service_provider VARCHAR(50) CHARACTER SET [CHARACTER_SET],
  IN p_local_account [LOCAL_ACCOUNT_TYPE] CHARACTER SET [CHARACTER_SET],
  IN p_score DOUBLE,
  IN p_time_stamp BIGINT)
BEGIN
  EXECUTE IMMEDIATE CONCAT(
    'INSERT INTO `', REPLACE(p_table_name, '`', '``'), '`',
    '(service_provider, local_account, score, time_stamp) ',
    'VALUES(?, ?, ?, ?) ',
    'ON DUPLICATE KEY UPDATE time_stamp = VALUES(time_stamp), ',
    'score = VALUES(score)')
  USING p_service_provider, p_local_account, p_score, p_time_stamp;
END
$QUERY_DELIMITER$

-- Inserts or updates 32 rows of one score table at once (the bulk insert
-- queue always sends full batches of 32).
CREATE OR REPLACE PROCEDURE sp_bulk_score_submission(
  IN p_table_name VARCHAR(64) CHARACTER SET [CHARACTER_SET],
  IN p_leaderboard_id VARCHAR(64) CHARACTER SET [CHARACTER_SET],
  IN p_service_provider1 VARCHAR(50) CHARACTER SET [CHARACTER_SET],
  IN p_local_account1 [LOCAL_ACCOUNT_TYPE] CHARACTER SET [CHARACTER_SET],
  IN p_score1 DOUBLE,
  IN p_time_stamp1 BIGINT,
  IN p_service_provider2 VARCHAR(50) CHARACTER SET [CHARACTER_SET],
  IN p_local_account2 [LOCAL_ACCOUNT_TYPE] CHARACTER SET [CHARACTER_SET],
  IN p_score2 DOUBLE,
  IN p_time_stamp2 BIGINT,
  IN p_service_provider3 VARCHAR(50) CHARACTER SET [CHARACTER_SET],
  IN p_local_account3 [LOCAL_ACCOUNT_TYPE] CHARACTER SET [CHARACTER_SET],
  IN p_score3 DOUBLE,
  IN p_time_stamp3 BIGINT,
  IN p_service_provider4 VARCHAR(50) CHARACTER SET [CHARACTER_SET],
  IN p_local_account4 [LOCAL_ACCOUNT_TYPE] CHARACTER SET [CHARACTER_SET],
  IN p_score4 DOUBLE,
  IN p_time_stamp4 BIGINT,
  IN p_service_provider5 VARCHAR(50) CHARACTER SET [CHARACTER_SET],
  IN p_local_account5 [LOCAL_ACCOUNT_TYPE] CHARACTER SET [CHARACTER_SET],
  IN p_score5 DOUBLE,
  IN p_time_stamp5 BIGINT,
  IN p_service_provider6 VARCHAR(50) CHARACTER SET [CHARACTER_SET],
  IN p_local_account6 [LOCAL_ACCOUNT_TYPE] CHARACTER SET [CHARACTER_SET],
  IN p_score6 DOUBLE,
  IN p_time_stamp6 BIGINT,
  IN p_service_provider7 VARCHAR(50) CHARACTER SET [CHARACTER_SET],
  IN p_local_account7 [LOCAL_ACCOUNT_TYPE] CHARACTER SET [CHARACTER_SET],
  IN p_score7 DOUBLE,
  IN p_time_stamp7 BIGINT,
  IN p_service_provider8 VARCHAR(50) CHARACTER SET [CHARACTER_SET],
  IN p_local_account8 [LOCAL_ACCOUNT_TYPE] CHARACTER SET [CHARACTER_SET],
  IN p_score8 DOUBLE,
  IN p_time_stamp8 BIGINT,
  IN p_service_provider9 VARCHAR(50) CHARACTER SET [CHARACTER_SET],
  IN p_local_account9 [LOCAL_ACCOUNT_TYPE] CHARACTER SET [CHARACTER_SET],
  IN p_score9 DOUBLE,
  IN p_time_stamp9 BIGINT,
  IN p_service_provider10 VARCHAR(50) CHARACTER SET [CHARACTER_SET],
  IN p_local_account10 [LOCAL_ACCOUNT_TYPE] CHARACTER SET [CHARACTER_SET],
  IN p_score10 DOUBLE,
  IN p_time_stamp10 BIGINT,
  IN p_service_provider11 VARCHAR(50) CHARACTER SET [CHARACTER_SET],
  IN p_local_account11 [LOCAL_ACCOUNT_TYPE] CHARACTER SET [CHARACTER_SET],
  IN p_score11 DOUBLE,
  IN p_time_stamp11 BIGINT,
  IN p_service_provider12 VARCHAR(50) CHARACTER SET [CHARACTER_SET],
  IN p_local_account12 [LOCAL_ACCOUNT_TYPE] CHARACTER SET [CHARACTER_SET],
  IN p_score12 DOUBLE,
  IN p_time_stamp12 BIGINT,
  IN p_service_provider13 VARCHAR(50) CHARACTER SET [CHARACTER_SET],
  IN p_local_account13 [LOCAL_ACCOUNT_TYPE] CHARACTER SET [CHARACTER_SET],
  IN p_score13 DOUBLE,
  IN p_time_stamp13 BIGINT,
  IN p_service_provider14 VARCHAR(50) CHARACTER SET [CHARACTER_SET],
  IN p_local_account14 [LOCAL_ACCOUNT_TYPE] CHARACTER SET [CHARACTER_SET],
  IN p_score14 DOUBLE,
  IN p_time_stamp14 BIGINT,
  IN p_service_provider15 VARCHAR(50) CHARACTER SET [CHARACTER_SET],
  IN p_local_account15 [LOCAL_ACCOUNT_TYPE] CHARACTER SET [CHARACTER_SET],
  IN p_score15 DOUBLE,
  IN p_time_stamp15 BIGINT,
  IN p_service_provider16 VARCHAR(50) CHARACTER SET [CHARACTER_SET],
  IN p_local_account16 [LOCAL_ACCOUNT_TYPE] CHARACTER SET [CHARACTER_SET],
  IN p_score16 DOUBLE,
  IN p_time_stamp16 BIGINT,
  IN p_service_provider17 VARCHAR(50) CHARACTER SET [CHARACTER_SET],
  IN p_local_account17 [LOCAL_ACCOUNT_TYPE] CHARACTER SET [CHARACTER_SET],
  IN p_score17 DOUBLE,
  IN p_time_stamp17 BIGINT,
  IN p_service_provider18 VARCHAR(50) CHARACTER SET [CHARACTER_SET],
  IN p_local_account18 [LOCAL_ACCOUNT_TYPE] CHARACTER SET [CHARACTER_SET],
  IN p_score18 DOUBLE,
  IN p_time_stamp18 BIGINT,
  IN p_service_provider19 VARCHAR(50) CHARACTER SET [CHARACTER_SET],
  IN p_local_account19 [LOCAL_ACCOUNT_TYPE] CHARACTER SET [CHARACTER_SET],
  IN p_score19 DOUBLE,
  IN p_time_stamp19 BIGINT,
  IN p_service_provider20 VARCHAR(50) CHARACTER SET [CHARACTER_SET],
  IN p_local_account20 [LOCAL_ACCOUNT_TYPE] CHARACTER SET [CHARACTER_SET],
  IN p_score20 DOUBLE,
  IN p_time_stamp20 BIGINT,
  IN p_service_provider21 VARCHAR(50) CHARACTER SET [CHARACTER_SET],
  IN p_local_account21 [LOCAL_ACCOUNT_TYPE] CHARACTER SET [CHARACTER_SET],
  IN p_score21 DOUBLE,
  IN p_time_stamp21 BIGINT,
  IN p_service_provider22 VARCHAR(50) CHARACTER SET [CHARACTER_SET],
  IN p_local_account22 [LOCAL_ACCOUNT_TYPE] CHARACTER SET [CHARACTER_SET],
  IN p_score22 DOUBLE,
  IN p_time_stamp22 BIGINT,
  IN p_service_provider23 VARCHAR(50) CHARACTER SET [CHARACTER_SET],
  IN p_local_account23 [LOCAL_ACCOUNT_TYPE] CHARACTER SET [CHARACTER_SET],
  IN p_score23 DOUBLE,
  IN p_time_stamp23 BIGINT,
  IN p_service_provider24 VARCHAR(50) CHARACTER SET [CHARACTER_SET],
  IN p_local_account24 [LOCAL_ACCOUNT_TYPE] CHARACTER SET [CHARACTER_SET],
  IN p_score24 DOUBLE,
  IN p_time_stamp24 BIGINT,
  IN p_service_provider25 VARCHAR(50) CHARACTER SET [CHARACTER_SET],
  IN p_local_account25 [LOCAL_ACCOUNT_TYPE] CHARACTER SET [CHARACTER_SET],
  IN p_score25 DOUBLE,
  IN p_time_stamp25 BIGINT,
  IN p_service_provider26 VARCHAR(50) CHARACTER SET [CHARACTER_SET],
  IN p_local_account26 [LOCAL_ACCOUNT_TYPE] CHARACTER SET [CHARACTER_SET],
  IN p_score26 DOUBLE,
  IN p_time_stamp26 BIGINT,
  IN p_service_provider27 VARCHAR(50) CHARACTER SET [CHARACTER_SET],
  IN p_local_account27 [LOCAL_ACCOUNT_TYPE] CHARACTER SET [CHARACTER_SET],
  IN p_score27 DOUBLE,
  IN p_time_stamp27 BIGINT,
  IN p_service_provider28 VARCHAR(50) CHARACTER SET [CHARACTER_SET],
  IN p_local_account28 [LOCAL_ACCOUNT_TYPE] CHARACTER SET [CHARACTER_SET],
  IN p_score28 DOUBLE,
  IN p_time_stamp28 BIGINT,
  IN p_service_provider29 VARCHAR(50) CHARACTER SET [CHARACTER_SET],
  IN p_local_account29 [LOCAL_ACCOUNT_TYPE] CHARACTER SET [CHARACTER_SET],
  IN p_score29 DOUBLE,
  IN p_time_stamp29 BIGINT,
  IN p_service_provider30 VARCHAR(50) CHARACTER SET [CHARACTER_SET],
  IN p_local_account30 [LOCAL_ACCOUNT_TYPE] CHARACTER SET [CHARACTER_SET],
  IN p_score30 DOUBLE,
  IN p_time_stamp30 BIGINT,
  IN p_service_provider31 VARCHAR(50) CHARACTER SET [CHARACTER_SET],
  IN p_local_account31 [LOCAL_ACCOUNT_TYPE] CHARACTER SET [CHARACTER_SET],
  IN p_score31 DOUBLE,
  IN p_time_stamp31 BIGINT,
  IN p_service_provider32 VARCHAR(50) CHARACTER SET [CHARACTER_SET],
  IN p_local_account32 [LOCAL_ACCOUNT_TYPE] CHARACTER SET [CHARACTER_SET],
  IN p_score32 DOUBLE,
  IN p_time_stamp32 BIGINT)
BEGIN
  EXECUTE IMMEDIATE CONCAT(
    'INSERT INTO `', REPLACE(p_table_name, '`', '``'), '` ',
    '(service_provider, local_account, score, time_stamp) VALUES ',
    '(?, ?, ?, ?), ',
    '(?, ?, ?, ?), ',
    '(?, ?, ?, ?), ',
    '(?, ?, ?, ?), ',
    '(?, ?, ?, ?), ',
    '(?, ?, ?, ?), ',
    '(?, ?, ?, ?), ',
    '(?, ?, ?, ?), ',
    '(?, ?, ?, ?), ',
    '(?, ?, ?, ?), ',
    '(?, ?, ?, ?), ',
    '(?, ?, ?, ?), ',
    '(?, ?, ?, ?), ',
    '(?, ?, ?, ?), ',
    '(?, ?, ?, ?), ',
    '(?, ?, ?, ?), ',
    '(?, ?, ?, ?), ',
    '(?, ?, ?, ?), ',
    '(?, ?, ?, ?), ',
    '(?, ?, ?, ?), ',
    '(?, ?, ?, ?), ',
    '(?, ?, ?, ?), ',
    '(?, ?, ?, ?), ',
    '(?, ?, ?, ?), ',
    '(?, ?, ?, ?), ',
    '(?, ?, ?, ?), ',
    '(?, ?, ?, ?), ',
    '(?, ?, ?, ?), ',
    '(?, ?, ?, ?), ',
    '(?, ?, ?, ?), ',
    '(?, ?, ?, ?), ',
    '(?, ?, ?, ?) ',
    'ON DUPLICATE KEY UPDATE time_stamp = VALUES(time_stamp), ',
    'score = VALUES(score)')
  USING
    p_service_provider1, p_local_account1, p_score1, p_time_stamp1,
    p_service_provider2, p_local_account2, p_score2, p_time_stamp2,
    p_service_provider3, p_local_account3, p_score3, p_time_stamp3,
    p_service_provider4, p_local_account4, p_score4, p_time_stamp4,
    p_service_provider5, p_local_account5, p_score5, p_time_stamp5,
    p_service_provider6, p_local_account6, p_score6, p_time_stamp6,
    p_service_provider7, p_local_account7, p_score7, p_time_stamp7,
    p_service_provider8, p_local_account8, p_score8, p_time_stamp8,
    p_service_provider9, p_local_account9, p_score9, p_time_stamp9,
    p_service_provider10, p_local_account10, p_score10, p_time_stamp10,
    p_service_provider11, p_local_account11, p_score11, p_time_stamp11,
    p_service_provider12, p_local_account12, p_score12, p_time_stamp12,
    p_service_provider13, p_local_account13, p_score13, p_time_stamp13,
    p_service_provider14, p_local_account14, p_score14, p_time_stamp14,
    p_service_provider15, p_local_account15, p_score15, p_time_stamp15,
    p_service_provider16, p_local_account16, p_score16, p_time_stamp16,
    p_service_provider17, p_local_account17, p_score17, p_time_stamp17,
    p_service_provider18, p_local_account18, p_score18, p_time_stamp18,
    p_service_provider19, p_local_account19, p_score19, p_time_stamp19,
    p_service_provider20, p_local_account20, p_score20, p_time_stamp20,
    p_service_provider21, p_local_account21, p_score21, p_time_stamp21,
    p_service_provider22, p_local_account22, p_score22, p_time_stamp22,
    p_service_provider23, p_local_account23, p_score23, p_time_stamp23,
    p_service_provider24, p_local_account24, p_score24, p_time_stamp24,
    p_service_provider25, p_local_account25, p_score25, p_time_stamp25,
    p_service_provider26, p_local_account26, p_score26, p_time_stamp26,
    p_service_provider27, p_local_account27, p_score27, p_time_stamp27,
    p_service_provider28, p_local_account28, p_score28, p_time_stamp28,
    p_service_provider29, p_local_account29, p_score29, p_time_stamp29,
    p_service_provider30, p_local_account30, p_score30, p_time_stamp30,
    p_service_provider31, p_local_account31, p_score31, p_time_stamp31,
    p_service_provider32, p_local_account32, p_score32, p_time_stamp32;
END
$QUERY_DELIMITER$

-- Deletes one player's row from one score table (helper of
-- sp_score_deletion).
CREATE OR REPLACE PROCEDURE sp_delete_player_row(
  IN p_table_name VARCHAR(64) CHARACTER SET [CHARACTER_SET],
  IN p_service_provider VARCHAR(50) CHARACTER SET [CHARACTER_SET],
  IN p_local_account [LOCAL_ACCOUNT_TYPE] CHARACTER SET [CHARACTER_SET])
BEGIN
  EXECUTE IMMEDIATE CONCAT(
    'DELETE FROM `', REPLACE(p_table_name, '`', '``'), '` ',
    'WHERE service_provider = ? AND local_account = ?')
  USING p_service_provider, p_local_account;
END
$QUERY_DELIMITER$

-- Deletes a player's rows from the all-time table and from the tables of
-- the scheduled periods; a leaderboard without any schedule loses them in
-- all seven tables.
CREATE OR REPLACE PROCEDURE sp_score_deletion(
  IN p_leaderboard_id VARCHAR(64) CHARACTER SET [CHARACTER_SET],
  IN p_service_provider VARCHAR(50) CHARACTER SET [CHARACTER_SET],
  IN p_local_account [LOCAL_ACCOUNT_TYPE] CHARACTER SET [CHARACTER_SET],
  IN p_has_day_schedule TINYINT,
  IN p_has_week_schedule TINYINT,
  IN p_has_month_schedule TINYINT)
BEGIN
  DECLARE v_all_periods BOOLEAN DEFAULT
    p_has_day_schedule = 0 AND p_has_week_schedule = 0 AND
    p_has_month_schedule = 0;
  CALL sp_delete_player_row(CONCAT(p_leaderboard_id, '_alltime'),
                            p_service_provider, p_local_account);
  IF p_has_day_schedule <> 0 OR v_all_periods THEN
    CALL sp_delete_player_row(CONCAT(p_leaderboard_id, '_daily'),
                              p_service_provider, p_local_account);
    CALL sp_delete_player_row(CONCAT(p_leaderboard_id, '_yesterday'),
                              p_service_provider, p_local_account);
  END IF;
  IF p_has_week_schedule <> 0 OR v_all_periods THEN
    CALL sp_delete_player_row(CONCAT(p_leaderboard_id, '_weekly'),
                              p_service_provider, p_local_account);
    CALL sp_delete_player_row(CONCAT(p_leaderboard_id, '_lastweek'),
                              p_service_provider, p_local_account);
  END IF;
  IF p_has_month_schedule <> 0 OR v_all_periods THEN
    CALL sp_delete_player_row(CONCAT(p_leaderboard_id, '_monthly'),
                              p_service_provider, p_local_account);
    CALL sp_delete_player_row(CONCAT(p_leaderboard_id, '_lastmonth'),
                              p_service_provider, p_local_account);
  END IF;
END
$QUERY_DELIMITER$

-- Logs a performed scheduled reset. The primary key makes a second insert
-- of the same (leaderboard key, schedule date time) fail with error 1062,
-- which tells the server that the reset was done already.
CREATE OR REPLACE PROCEDURE sp_insert_reset_schedule_log(
  IN p_leaderboard_id VARCHAR(64) CHARACTER SET [CHARACTER_SET],
  IN p_leaderboard_key VARCHAR(255) CHARACTER SET [CHARACTER_SET],
  IN p_schedule_date_time VARCHAR(50) CHARACTER SET [CHARACTER_SET])
BEGIN
  INSERT INTO reset_schedule_log(leaderboard_key, schedule_date_time)
  VALUES(p_leaderboard_key, p_schedule_date_time);
END
$QUERY_DELIMITER$

-- The log row of one scheduled reset, if any: (leaderboard key, reset date
-- time as text).
CREATE OR REPLACE PROCEDURE sp_query_reset_schedule_log(
  IN p_leaderboard_id VARCHAR(64) CHARACTER SET [CHARACTER_SET],
  IN p_leaderboard_key VARCHAR(255) CHARACTER SET [CHARACTER_SET],
  IN p_schedule_date_time VARCHAR(50) CHARACTER SET [CHARACTER_SET])
BEGIN
  SELECT leaderboard_key, CONVERT(reset_date_time, CHAR(30))
  FROM reset_schedule_log
  WHERE leaderboard_key = p_leaderboard_key AND
        schedule_date_time = p_schedule_date_time;
END
$QUERY_DELIMITER$

-- Every reset of one leaderboard key: (schedule date time, reset date time
-- as text).
CREATE OR REPLACE PROCEDURE sp_query_reset_schedule_log2(
  IN p_leaderboard_key VARCHAR(255) CHARACTER SET [CHARACTER_SET])
BEGIN
  SELECT schedule_date_time, CONVERT(reset_date_time, CHAR(30))
  FROM reset_schedule_log
  WHERE leaderboard_key = p_leaderboard_key;
END
$QUERY_DELIMITER$

-- The whole reset log: (leaderboard key, schedule date time, reset date
-- time as text).
CREATE OR REPLACE PROCEDURE sp_query_reset_schedule_log_all()
BEGIN
  SELECT leaderboard_key, schedule_date_time,
         CONVERT(reset_date_time, CHAR(30))
  FROM reset_schedule_log;
END
$QUERY_DELIMITER$

-- Rolls a period table over into its previous-period table: the previous
-- table is emptied, then both swap names in one atomic RENAME TABLE.
CREATE OR REPLACE PROCEDURE sp_reset_table(
  IN p_leaderboard_id VARCHAR(64) CHARACTER SET [CHARACTER_SET],
  IN p_period_suffix VARCHAR(16) CHARACTER SET [CHARACTER_SET],
  IN p_previous_suffix VARCHAR(16) CHARACTER SET [CHARACTER_SET])
BEGIN
  DECLARE v_id VARCHAR(128) CHARACTER SET [CHARACTER_SET] DEFAULT
    REPLACE(p_leaderboard_id, '`', '``');
  DECLARE v_current VARCHAR(160) CHARACTER SET [CHARACTER_SET] DEFAULT
    CONCAT('`', v_id, p_period_suffix, '`');
  DECLARE v_previous VARCHAR(160) CHARACTER SET [CHARACTER_SET] DEFAULT
    CONCAT('`', v_id, p_previous_suffix, '`');
  DECLARE v_temporary VARCHAR(160) CHARACTER SET [CHARACTER_SET] DEFAULT
    CONCAT('`', v_id, p_period_suffix, '_tmp`');
  EXECUTE IMMEDIATE CONCAT('TRUNCATE TABLE ', v_previous);
  EXECUTE IMMEDIATE CONCAT(
    'RENAME TABLE ', v_current, ' TO ', v_temporary, ', ',
    v_previous, ' TO ', v_current, ', ',
    v_temporary, ' TO ', v_previous);
END
$QUERY_DELIMITER$

CREATE OR REPLACE PROCEDURE sp_reset_table_daily(
  IN p_leaderboard_id VARCHAR(64) CHARACTER SET [CHARACTER_SET])
BEGIN
  CALL sp_reset_table(p_leaderboard_id, '_daily', '_yesterday');
END
$QUERY_DELIMITER$

CREATE OR REPLACE PROCEDURE sp_reset_table_weekly(
  IN p_leaderboard_id VARCHAR(64) CHARACTER SET [CHARACTER_SET])
BEGIN
  CALL sp_reset_table(p_leaderboard_id, '_weekly', '_lastweek');
END
$QUERY_DELIMITER$

CREATE OR REPLACE PROCEDURE sp_reset_table_monthly(
  IN p_leaderboard_id VARCHAR(64) CHARACTER SET [CHARACTER_SET])
BEGIN
  CALL sp_reset_table(p_leaderboard_id, '_monthly', '_lastmonth');
END
$QUERY_DELIMITER$
