-- The reads of one cohort of a league's period: the cohort of a member
-- (ARGV[1] "member", ARGV[2] its member key) or a cohort by id (ARGV[1]
-- "cohort", ARGV[2] the cohort id), its players in the order they joined,
-- and for each the member ranking key and score it stands under in the
-- period ranking and its packed profile. The caller orders and numbers
-- them; a cohort holds at most the league's cohort size.
--
-- KEYS: the period's league hash, the period ranking, its member index,
--   the leaderboard's profile hash.
-- Answer: {"none"} when the member is in no cohort (or the cohort does not
--   exist), {"waiting"} when the member waits for its placement, else
--   {cohort id, member key, ranking key or false, score or false, profile
--   or false, ...}: a player whose score was deleted has neither.
local league_key, ranking, index, profile_key = KEYS[1], KEYS[2], KEYS[3],
                                                KEYS[4]
local cohort = ARGV[2]
if ARGV[1] == 'member' then
  cohort = redis.call('HGET', league_key, 'p:' .. ARGV[2])
  if not cohort then
    if redis.call('HEXISTS', league_key, 'q:' .. ARGV[2]) == 1 then
      return {'waiting'}
    end
    return {'none'}
  end
end
local packed = redis.call('HGET', league_key, 'c:' .. cohort)
if not packed then
  return {'none'}
end
local answer = {cohort}
local at = 1
while at <= string.len(packed) do
  local colon = string.find(packed, ':', at, true)
  local length = tonumber(string.sub(packed, at, colon - 1))
  local member = string.sub(packed, colon + 1, colon + length)
  at = colon + length + 1
  local ranking_key = redis.call('HGET', index, member)
  local score = false
  if ranking_key then
    score = redis.call('ZSCORE', ranking, ranking_key)
  end
  if not score then
    ranking_key = false
  end
  answer[#answer + 1] = member
  answer[#answer + 1] = ranking_key
  answer[#answer + 1] = score
  answer[#answer + 1] = redis.call('HGET', profile_key, member)
end
return answer
