-- Applies tiers and releases a period on hold: sets the tiers given, then
-- places up to ARGV[3] of the players waiting in the league hash, in the
-- order they came; once none waits, lifts the hold. Run by the master after
-- the moves of the period before are written to the database.
--
-- KEYS: the period's league hash, the league's tier hash, its placement log.
-- ARGV: 1 the round the hash must have (otherwise nobody is placed: a later
--   rollover replaced it; the tiers are set all the same), 2 the cohort size, 3 the most players to place,
--   4 the number of tier names, then the tier names, then pairs of member
--   key and tier index to set in the tier hash first.
-- Answer: {placed, still waiting (0 or 1)}, or {-1, 0} for another round;
--   with ARGV[3] "0" only the tiers are set ({0, 1}).
local league_key, tiers_key, log_key = KEYS[1], KEYS[2], KEYS[3]
local cohort_size = tonumber(ARGV[2])
local limit = tonumber(ARGV[3])
local tier_count = tonumber(ARGV[4])
local tier_names = {}
for i = 1, tier_count do
  tier_names[i] = ARGV[4 + i]
end
for i = 5 + tier_count, #ARGV - 1, 2 do
  redis.call('HSET', tiers_key, ARGV[i], ARGV[i + 1])
end
if limit == 0 then
  return {0, 1}
end
if (redis.call('HGET', league_key, 'round') or '0') ~= ARGV[1] then
  return {-1, 0}
end
local waiting = tonumber(redis.call('HGET', league_key, 'wn') or '0')
local done = tonumber(redis.call('HGET', league_key, 'wd') or '0')
local placed = 0
while done < waiting and placed < limit do
  done = done + 1
  local member = redis.call('HGET', league_key, 'w' .. done)
  -- A player whose scores were deleted while it waited left the queue
  -- (its "q:" field is gone): it is not placed.
  if member and redis.call('HDEL', league_key, 'q:' .. member) == 1 then
    league_place(league_key, tiers_key, log_key, member, cohort_size,
                 tier_names)
  end
  redis.call('HDEL', league_key, 'w' .. done)
  placed = placed + 1
end
redis.call('HSET', league_key, 'wd', done)
if done >= waiting then
  redis.call('HDEL', league_key, 'hold')
  return {placed, 0}
end
return {placed, 1}
