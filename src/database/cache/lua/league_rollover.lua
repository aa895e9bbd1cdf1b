-- The league's part of a rollover of its period, run before the rankings
-- move: the closed period's league hash moves to the previous period's key
-- (or that key is emptied when nobody played), and the new period's hash
-- starts on hold with the next round number, so that newcomers wait until
-- the closed period's moves are applied (league_place.lua).
--
-- KEYS: the current league hash, the previous period's league hash, the
--   league's tier hash. ARGV[1]: "1" to hold the new period (somebody
--   applies the moves), "0" to let newcomers in at once.
-- Answer: the new period's round.
local round = redis.call('HINCRBY', KEYS[3], 'round', 1)
if redis.call('EXISTS', KEYS[1]) == 1 then
  redis.call('RENAME', KEYS[1], KEYS[2])
else
  redis.call('DEL', KEYS[2])
end
if ARGV[1] == '1' then
  redis.call('HSET', KEYS[1], 'hold', '1', 'round', round)
else
  redis.call('HSET', KEYS[1], 'round', round)
end
return round
