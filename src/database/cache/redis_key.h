// The Redis key scheme of the ranking cache: timespan names, the keys of the
// three structures kept per leaderboard and timespan, the member strings of a
// player, and the text form of scores.
//
// Per leaderboard id and timespan the cache keeps
//   - the ranking set, a sorted set at the timespan key
//     ("leaderboard:<id>:daily"): member = member ranking key, score = score;
//   - the member index, a hash at the timespan key + ":timestamp": field =
//     member key, value = the member ranking key the player stands under;
//   - the dense set (when the leaderboard keeps dense rankings), a sorted set
//     at the dense key ("leaderboard:<id>:daily:dense"): one member per
//     distinct score, the member being the score's text.
// Per leaderboard id, whatever the timespan:
//   - the profiles, a hash at "leaderboard:<id>:profile": field = member key,
//     value = the player's latest display name and metadata, packed
//     (PackProfile); a player with neither has no field;
//   - one string per recent submission id, "leaderboard:<id>:submission:"
//     + the id, expiring after --submission_id_ttl_seconds: the record of
//     the submission that used it (written and read by submit_score.lua).
//   - on a league, the tier hash "leaderboard:<id>:league_tiers" (field:
//     member key, value: the index of the player's tier; field "round": the
//     number of the league's current period) and the placement log, a list
//     at "leaderboard:<id>:league_log" (one "<round>\n<cohort id>\n<member
//     key>" per placement, drained into the database by the master);
//   - on a league, per period ranking of its period, the league hash at the
//     ranking's key + ":league": the period's cohorts (lua/league.lua).
//   - the closed-periods marker, a hash at "leaderboard:<id>:closed_periods"
//     (field: "day", "week" or "month", value: the idempotency key of the
//     period end whose ranking the previous-period key holds).
// No timespan is named "profile", "submission" or "closed_periods", and ids
// hold no ':', so these keys never meet the rankings' keys of any
// leaderboard.
//
// Cluster mode (SetClusterKeys(true), for Redis Cluster): the id in every key
// above is written as a hash tag, "leaderboard:{<id>}:daily",
// "leaderboard:{<id>}_20210208:weekly", "leaderboard:{<id>}:profile" and so
// on, so that all keys of one leaderboard hash to one cluster slot and every
// script and multi-key command on them runs on one node. Outside cluster mode
// the keys are exactly as written above. Keys that belong to no leaderboard
// (the master election's) are not built here and never change.
//
// A member key is "<local account id>:<service provider>"; a member ranking
// key is "<inverted millisecond timestamp>:<member key>", where every decimal
// digit d of the timestamp is written as 9 - d. Read highest first, Redis
// orders equal scores by member text descending, so the inverted digits put
// the player who reached a score earlier first. Account ids and service
// providers must not contain ':'.
//
// Everything here may be called from any thread; the name table is built
// before main() and never changes, and the cluster-mode setting is set once
// at start-up, before the first key is built.
#pragma once

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <cstdint>
#include <map>
#include <string>

#include "leaderboard.pb.h"
#include "vel/core/player_account.h"

namespace plemox {

// Whether keys are built for Redis Cluster (the leaderboard id as a hash
// tag). Process-wide; off until set. Set it once at start-up, before any key
// is built: keys made before and after a change do not name the same data.
void SetClusterKeys(bool on);
bool ClusterKeys();

// The protocol's time span, used unchanged inside the cache: kAllTime 1,
// kDaily 2, kWeekly 3, kLastWeek 4, kYesterday 5, kMonthly 6, kLastMonth 7.
using Timespan = Leaderboard::LeaderboardQuery::TimeSpan;

// "alltime", "daily", "weekly", "lastweek", "yesterday", "monthly",
// "lastmonth" to their timespans. Names match exactly (case-sensitive).
extern const std::map<std::string, Timespan> kTimespanNames;

// Whether `value` is one of the seven timespans.
bool IsValidTimespan(int value);

// The name of a timespan ("daily", ...), or "" for a value outside 1 to 7.
std::string TimespanToString(Timespan timespan);

// Looks `name` up in kTimespanNames: true and *out set when found. An unknown
// name is logged as an error ("Unknown timespan: <name>") and gives false
// with *out unchanged. REQUIRES: out != nullptr.
bool GetTimespanByString(const std::string& name, Timespan* out);

// The ranking set's key (shown outside cluster mode; see above for the
// tagged form): "leaderboard:" + id + ":" + the timespan's name, or
// for kWeekly and kLastWeek with a real `week_time` while the flag
// use_leaderboard_table_with_date is on, "leaderboard:" + id + "_" + the
// week's date as YYYYMMDD + ":weekly" (so last week's dated key is the key
// the weekly ranking had during that week). Pass not-a-date-time when no
// week is at hand. REQUIRES (fatal otherwise): IsValidTimespan(timespan).
std::string MakeLeaderboardKey(const std::string& leaderboard_id,
                               Timespan timespan,
                               const boost::posix_time::ptime& week_time);

// The dense set's key: MakeLeaderboardKey(...) + ":dense".
// REQUIRES (fatal otherwise): IsValidTimespan(timespan).
std::string MakeLeaderboardDenseKey(const std::string& leaderboard_id,
                                    Timespan timespan,
                                    const boost::posix_time::ptime& week_time);

// The member index's key: `leaderboard_key` + ":timestamp".
std::string MakeLeaderboardTimestampKey(const std::string& leaderboard_key);

// "leaderboard:" + id + ":profile": the leaderboard's profile hash.
std::string MakeLeaderboardProfileKey(const std::string& leaderboard_id);

// "leaderboard:" + id + ":submission:" + submission id (any bytes).
std::string MakeSubmissionIdKey(const std::string& leaderboard_id,
                                const std::string& submission_id);

// "leaderboard:" + id + ":closed_periods": the hash that records which
// closed period each previous-period ranking of the leaderboard holds.
std::string MakeClosedPeriodsKey(const std::string& leaderboard_id);

// The league hash of a period: `period_ranking_key` + ":league".
std::string MakeLeagueKey(const std::string& period_ranking_key);
// "leaderboard:" + id + ":league_tiers" and ":league_log".
std::string MakeLeagueTiersKey(const std::string& leaderboard_id);
std::string MakeLeagueLogKey(const std::string& leaderboard_id);

// Whether `key` starts like the keys of leaderboard `leaderboard_id` in the
// key mode set now: "leaderboard:" + id (tagged in cluster mode), then ':'
// or '_'. A key stored while the other mode was set is not: a name kept
// from before a move to or from Redis Cluster names nothing there.
bool IsKeyOfLeaderboard(const std::string& key,
                        const std::string& leaderboard_id);

// A profile as the profile hash keeps it: the display name's length in
// bytes in decimal, ':', the name, then the metadata ("5:Alice" + metadata).
std::string PackProfile(const std::string& display_name,
                        const std::string& metadata);
// The reverse of PackProfile: false (outputs unchanged) when `packed` is not
// in that form. REQUIRES: display_name, metadata not null.
bool UnpackProfile(const std::string& packed, std::string* display_name,
                   std::string* metadata);

// "<local account id>:<service provider>", e.g. "player42:guest".
std::string MakeMemberKey(const vel::PlayerAccount& account);

// The inverted decimal digits of `timestamp_in_msec`, ":" and `member_key`:
// 1612345678901 and "player42:guest" give "8387654321098:player42:guest".
// On a leaderboard with a tiebreak, `tiebreak_text` (TiebreakToText) and "_"
// come first ("bff0000000000000_8387654321098:player42:guest"), so that
// Redis orders equal scores by the second score, then by time.
// REQUIRES (fatal otherwise): timestamp_in_msec >= 0.
std::string MakeMemberRankingKey(std::int64_t timestamp_in_msec,
                                 const std::string& member_key,
                                 const std::string& tiebreak_text = "");

// The 16 lower-case hex digits of an order-preserving image of `value` (a
// finite double, -0 read as 0): a greater value gives a greater text, so
// that the reverse reads of a ranking put the greater second score first.
// The value is the second score as Redis keeps it
// (RankingOption::ToStoredTiebreak). Exact for every finite double.
std::string TiebreakToText(double value);

// The tiebreak text at the front of a member ranking key ("" when it has
// none: the leaderboard has no tiebreak).
std::string MemberTiebreakText(const std::string& member_ranking_key);

// The member of a score in a dense set: its text, and on a leaderboard with
// a tiebreak "|" and the tiebreak text, so that the dense set holds each
// pair of score and second score once and orders equal scores by it.
std::string DenseMember(const std::string& score_text,
                        const std::string& tiebreak_text);

// Reads a TiebreakToText text back into *value; false (*value unchanged)
// for any other text. REQUIRES: value != nullptr.
bool TiebreakFromText(const std::string& text, double* value);

// Reads the account back from a member ranking key: the text between the
// first and the second ':' is the local account id, the rest the service
// provider ("8387654321098:player42:guest" gives id "player42", provider
// "guest"; an empty id or provider stays empty). Returns false when the text
// has fewer than two ':' and then sets *account to what it could read (the
// id after a single ':', else nothing). REQUIRES: account != nullptr.
bool ParseMemberRankingKey(const std::string& member_ranking_key,
                           vel::PlayerAccount* account);

// Reads the time back from a member ranking key: the inverted digits before
// the first ':' ("8387654321098:player42:guest" gives 1612345678901), after
// the tiebreak text and its "_" when there is one.
// Returns false, *timestamp_in_msec unchanged, when there are no digits
// before a ':' or more than 18. REQUIRES: timestamp_in_msec != nullptr.
bool ParseMemberRankingTime(const std::string& member_ranking_key,
                            std::int64_t* timestamp_in_msec);

// A score as text for dense members and score-count bounds: C "%.*g" with 17
// significant digits, so that the text reads back as the same double (100
// gives "100", 0.1 "0.10000000000000001", -3 "-3", 1e20 "1e+20"); NaN gives
// "nan" and infinities "inf", each with "-" when negative.
std::string ScoreToText(double score);

}  // namespace plemox
