-- A league's placement, shared by the submission script and the placement
-- of players who waited for the moves of the period before.
--
-- A period's league hash (the period ranking's key + ":league") holds
--   "p:<member key>" -> the member's cohort id ("<tier>-<n>");
--   "c:<cohort id>"  -> the cohort's member keys in the order they joined,
--                       each as its length in bytes, ":" and the key;
--   "s:<cohort id>"  -> how many players the cohort holds;
--   "n:<tier>"       -> how many cohorts the tier opened (the last is open);
--   "t:<tier>"       -> how many players the tier's cohorts hold;
--   "round"          -> the number of the league's period (absent: 0);
--   "hold"           -> "1" while the moves of the period before are not
--                       applied yet: newcomers wait instead of being placed;
--   "wn", "w<i>"     -> the waiting players, in the order they came, and
--                       "q:<member key>" -> "1" for each of them.
-- The league's tier hash maps a member key to its tier's index (absent: 0,
-- the lowest); its "round" field counts the league's periods.

-- Places `member` in the open cohort of its tier, opening the next cohort
-- when that one is full, and logs the placement for the database. Returns
-- the cohort id.
local function league_place(league_key, tiers_key, log_key, member,
                            cohort_size, tier_names)
  local tier = tonumber(redis.call('HGET', tiers_key, member) or '0') or 0
  if tier >= #tier_names then
    tier = #tier_names - 1
  end
  if tier < 0 then
    tier = 0
  end
  local name = tier_names[tier + 1]
  local n = tonumber(redis.call('HGET', league_key, 'n:' .. name) or '0')
  local size = cohort_size
  if n > 0 then
    size = tonumber(redis.call('HGET', league_key,
                               's:' .. name .. '-' .. n) or '0')
  end
  if size >= cohort_size then
    n = n + 1
    size = 0
    redis.call('HSET', league_key, 'n:' .. name, n)
  end
  local cohort = name .. '-' .. n
  local members = redis.call('HGET', league_key, 'c:' .. cohort) or ''
  redis.call('HSET', league_key, 'p:' .. member, cohort, 's:' .. cohort,
             size + 1, 'c:' .. cohort,
             members .. string.len(member) .. ':' .. member)
  redis.call('HINCRBY', league_key, 't:' .. name, 1)
  local round = redis.call('HGET', league_key, 'round') or '0'
  redis.call('RPUSH', log_key, round .. '\n' .. cohort .. '\n' .. member)
  return cohort
end

-- Places `member` unless it is placed already; while the league hash is on
-- hold, queues it instead.
local function league_join(league_key, tiers_key, log_key, member,
                           cohort_size, tier_names)
  if redis.call('HEXISTS', league_key, 'p:' .. member) == 1 then
    return
  end
  if redis.call('HGET', league_key, 'hold') == '1' then
    if redis.call('HSETNX', league_key, 'q:' .. member, '1') == 1 then
      local i = redis.call('HINCRBY', league_key, 'wn', 1)
      redis.call('HSET', league_key, 'w' .. i, member)
    end
    return
  end
  league_place(league_key, tiers_key, log_key, member, cohort_size,
               tier_names)
end
