-- One score submission as one step: the period rankings the request
-- evaluates, then the all-time ranking with the best new period score as a
-- high score, each with its member index and, when kept, its dense set.
-- Every read and every check runs before the first write, so a submission
-- lands whole or changes nothing, and no reader ever sees it half-done.
--
-- KEYS: three per ranking, the period rankings first (daily, weekly,
--   monthly, as the request evaluates them), the all-time ranking last:
--   the ranking set, its member index, its dense set.
-- ARGV: 1 member key, 2 member ranking key (the submission's inverted time
--   and the member key), 3 score (the text of a double), 4 submission type
--   (0 keep the higher score, 1 add, 2 subtract, other values replace),
--   5 dense sets kept ("1" or "0"), 6 all-time ranking kept ("1" or "0").
-- Answer: two entries per evaluated ranking, the period rankings in KEYS
--   order and then the all-time ranking when it was evaluated: the outcome
--   and the text of the score now stored (of the submitted score when the
--   outcome is 0). Outcomes: 0 not a new record (nothing written), 1 a new
--   record over the stored score, 2 the player's first score there, 3 a
--   first score written over a member index entry that named a ranking
--   member which is gone. {"nan", i}: the i-th ranking would have to store
--   a NaN, which Redis refuses; nothing was written.
local member_key = ARGV[1]
local ranking_key = ARGV[2]
local score = tonumber(ARGV[3])
local submission_type = tonumber(ARGV[4])
local dense = ARGV[5] == '1'
local alltime = ARGV[6] == '1'
local ranking_count = #KEYS / 3

-- Scores as the server writes them: 17 significant digits read back as the
-- same double; dense members and count bounds use this text.
local function text(value)
  return string.format('%.17g', value)
end

-- Reads ranking i and decides what to write there.
local function decide(i, value, value_type)
  local p = {key = KEYS[3 * i - 2], index = KEYS[3 * i - 1],
             dense_key = KEYS[3 * i], outcome = 0, new = value}
  -- A key of the wrong type fails here, before anything is written.
  redis.call('ZCARD', p.key)
  if dense then
    redis.call('ZCARD', p.dense_key)
  end
  local old_key = redis.call('HGET', p.index, member_key)
  local old = false
  if old_key and old_key ~= '' then
    old = redis.call('ZSCORE', p.key, old_key)
  end
  if not old then
    if value_type == 2 then
      p.new = -value
    end
    if old_key and old_key ~= '' then
      p.outcome = 3
    else
      p.outcome = 2
    end
    return p
  end
  old = tonumber(old)
  if value_type == 0 and value <= old then
    return p
  end
  p.outcome = 1
  p.old = old
  p.old_key = old_key
  if value_type == 1 then
    p.new = old + value
  elseif value_type == 2 then
    p.new = old - value
  end
  return p
end

local function write(p)
  if p.outcome == 0 then
    return
  end
  local new_text = text(p.new)
  redis.call('HSET', p.index, member_key, ranking_key)
  if p.outcome == 1 then
    redis.call('ZREM', p.key, p.old_key)
  end
  redis.call('ZADD', p.key, new_text, ranking_key)
  if not dense then
    return
  end
  redis.call('ZADD', p.dense_key, new_text, new_text)
  if p.outcome == 1 then
    -- The old score stays a dense member while somebody still holds it.
    local old_text = text(p.old)
    if redis.call('ZCOUNT', p.key, old_text, old_text) == 0 then
      redis.call('ZREM', p.dense_key, old_text)
    else
      redis.call('ZADD', p.dense_key, old_text, old_text)
    end
  end
end

local plans = {}
local best = nil
for i = 1, ranking_count - 1 do
  local p = decide(i, score, submission_type)
  if p.new ~= p.new then
    return {'nan', i}
  end
  plans[i] = p
  if p.outcome ~= 0 and (best == nil or p.new > best) then
    best = p.new
  end
end
if best ~= nil and alltime then
  local p = decide(ranking_count, best, 0)
  if p.new ~= p.new then
    return {'nan', ranking_count}
  end
  plans[ranking_count] = p
end

local answer = {}
for i = 1, ranking_count do
  local p = plans[i]
  if p then
    write(p)
    answer[#answer + 1] = p.outcome
    answer[#answer + 1] = text(p.new)
  end
end
return answer
