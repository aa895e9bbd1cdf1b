-- The rollover of a league's own period, as one step: the cohorts and the
-- period ranking (its set, dense set and member index) move to the
-- previous period's keys together, so that a submission lands wholly in
-- the closed period (its score and its placement) or wholly in the new one,
-- and a server that dies during the rollover leaves either all of it or
-- none. The closed league hash is stamped with the period it closes, which
-- tells the period end (the master's, or the one that takes over) that this
-- hash, and no earlier or later one, holds that period's cohorts; the
-- archive's marker of the closed ranking is written in the same step (the
-- archive writes it again after the rollover, to the same value). The new
-- period's hash starts on hold with the next round number, so that
-- newcomers wait until the closed period's moves are applied
-- (league_place.lua).
--
-- KEYS: 1 the current league hash, 2 the previous period's league hash,
--   3 the league's tier hash, 4 the current ranking, 5 the previous
--   ranking, 6 and 7 their dense sets, 8 and 9 their member indexes, 10 the
--   leaderboard's closed-periods marker hash.
-- ARGV: 1 "1" to hold the new period (somebody applies the moves), "0" to
--   let newcomers in at once; 2 the key of the period this rollover closes
--   ("" when period ends are not recorded); 3 "1" when the leaderboard keeps
--   dense sets; 4 the period ("day", "week" or "month"), the marker's field.
-- Answer: the new period's round.
local round = redis.call('HINCRBY', KEYS[3], 'round', 1)
if redis.call('EXISTS', KEYS[1]) == 1 then
  redis.call('RENAME', KEYS[1], KEYS[2])
else
  -- Nobody played in the league's first period: the closed period has no
  -- cohorts, but still its round and its stamp.
  redis.call('DEL', KEYS[2])
  redis.call('HSET', KEYS[2], 'round', round - 1)
end
redis.call('HSET', KEYS[2], 'period', ARGV[2])
if ARGV[2] ~= '' then
  redis.call('HSET', KEYS[10], ARGV[4], ARGV[2])
end
if ARGV[1] == '1' then
  redis.call('HSET', KEYS[1], 'hold', '1', 'round', round)
else
  redis.call('HSET', KEYS[1], 'round', round)
end

-- The ranking, as RedisCache::ResetTimespan moves it for other periods.
local function move(from, to)
  if redis.call('EXISTS', from) == 1 then
    redis.call('RENAME', from, to)
  else
    redis.call('DEL', to)
  end
end
local dense = ARGV[3] == '1'
if redis.call('EXISTS', KEYS[4]) == 0 then
  redis.call('DEL', KEYS[5], KEYS[9])
  if dense then
    redis.call('DEL', KEYS[7])
  end
  return round
end
move(KEYS[4], KEYS[5])
if dense then
  move(KEYS[6], KEYS[7])
end
move(KEYS[8], KEYS[9])
return round
