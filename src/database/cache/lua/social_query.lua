-- One social ranking query's reads as one step: for the player and each
-- competitor, the ranking member its member index entry names and that
-- member's score, all read at one instant. Sorting and numbering stay with
-- the caller, which shares them with the command chain.
--
-- KEYS: 1 the ranking set, 2 its member index, 3 the leaderboard's
--   profile hash (see submit_score.lua); on a league, 4 its tier hash (see
--   league.lua).
-- ARGV: 1 the player's member key ("" when the query has no player), then
--   the competitors' member keys in the query's order (any number: each is
--   read on its own, so no argument or unpack limit applies).
-- Answer: flat {ranking member, score, profile, ...}, one triple per
--   listed member key in ARGV order, the player's triple first and only
--   when ARGV[1] is not "". The ranking member is the index entry, or
--   "0:" .. member key when there is none (a name no ranking member has);
--   the score is the text Redis keeps, which reads back as the same double,
--   or nil when the ranking lacks the member (the caller counts it as 0);
--   the profile is the member's packed name and metadata, or nil. On a
--   league each triple is followed by the member's tier as the tier hash
--   holds it (nil: none).
local key, index, profile_key, tiers_key = KEYS[1], KEYS[2], KEYS[3],
                                           KEYS[4]
local answer = {}
local with_profiles = redis.call('EXISTS', profile_key) == 1

for i = 1, #ARGV do
  local member_key = ARGV[i]
  if i > 1 or member_key ~= '' then
    local ranking_key = redis.call('HGET', index, member_key)
    local score = false
    if ranking_key and ranking_key ~= '' then
      score = redis.call('ZSCORE', key, ranking_key)
    else
      ranking_key = '0:' .. member_key
    end
    answer[#answer + 1] = ranking_key
    answer[#answer + 1] = score
    answer[#answer + 1] = with_profiles and
                          redis.call('HGET', profile_key, member_key)
    if tiers_key then
      answer[#answer + 1] = redis.call('HGET', tiers_key, member_key)
    end
  end
end
return answer
