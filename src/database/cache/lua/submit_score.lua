-- One score submission as one step: the period rankings the request
-- evaluates, then the all-time ranking with the best new period score as a
-- high score, each with its member index and, when kept, its dense set; the
-- player's name and metadata on the leaderboard; and the record of a
-- submission id. Every read and every check runs before the first write, so
-- a submission lands whole or changes nothing, and no reader ever sees it
-- half-done.
--
-- KEYS: three per ranking, the period rankings first (daily, weekly,
--   monthly, as the request evaluates them), the all-time ranking after
--   them: the ranking set, its member index, its dense set. Then the
--   leaderboard's profile hash (field: member key, value: the packed name
--   and metadata, see pack below) and the key of the submission id (read
--   and written only when ARGV[11] is not "0").
-- ARGV: 1 member key, 2 member ranking key (the submission's inverted time
--   and the member key; on a leaderboard with a tiebreak, the tiebreak text
--   of its second score first: pairs of score and second score are then
--   compared, and dense members are "score|tiebreak text"), 3 score (the text of a double), 4 submission type
--   (0 keep the higher score, 1 add, 2 subtract, other values replace;
--   3 replaces in the all-time ranking too, which otherwise keeps the best),
--   5 dense sets kept ("1" or "0"), 6 all-time ranking kept ("1" or "0"),
--   7 "1" when the submission carries a name, 8 the name, 9 "1" when it
--   carries metadata, 10 the metadata, 11 seconds the submission id is kept
--   ("0": the submission has none), 12 the token of this copy of the
--   submission (tells it from a resend of it). On a league, 13 "3", 14 the
--   cohort size, 15 and on the tier names, the lowest first; and three
--   keys after the submission id's: the league hash of the league's
--   current period, the league's tier hash and its placement log (see
--   league.lua). A player not yet in a cohort of the period joins one.
-- Answer: {"stored", profile changed (1 or 0), pairs...}, two entries per
--   evaluated ranking, the period rankings in KEYS order and then the
--   all-time ranking when it was evaluated: the outcome and the text of the
--   score now stored (of the submitted score when the outcome is 0).
--   Outcomes: 0 not a new record (nothing written), 1 a new record over the
--   stored score, 2 the player's first score there, 3 a first score written
--   over a member index entry that named a ranking member which is gone.
--   {"resent", profile changed, pairs...}: the submission id was applied
--   before; its answer then, nothing written now. Refusals, with nothing
--   written: {"nan", i} or {"inf", i}: the i-th ranking would have to store
--   a NaN (which Redis refuses) or an infinity (which the database cannot
--   hold); {"reused"}: the submission id belongs to another submission
--   (another player, score or type).
--
-- The record of a submission id: the token, "\n", profile changed, "\n",
-- the answer's pairs separated by blanks, "\n", and the fingerprint of the
-- submission (type, blank, score text, blank, member key) last, since the
-- member key may hold any byte.
local member_key = ARGV[1]
local ranking_key = ARGV[2]
local score = tonumber(ARGV[3])
local submission_type = tonumber(ARGV[4])
local dense = ARGV[5] == '1'
local alltime = ARGV[6] == '1'
local has_name = ARGV[7] == '1'
local has_metadata = ARGV[9] == '1'
local keep_seconds = tonumber(ARGV[11])
local token = ARGV[12]
local league_keys = tonumber(ARGV[13] or '0')
local ranking_count = (#KEYS - 2 - league_keys) / 3
local profile_key = KEYS[#KEYS - 1 - league_keys]
local submission_key = KEYS[#KEYS - league_keys]

-- The submission's second score, as the order of its ranking key.
local new_tie = tie(ranking_key)
local fingerprint = ARGV[4] .. ' ' .. ARGV[3] .. ' ' .. member_key
if new_tie ~= '' then
  fingerprint = ARGV[4] .. ' ' .. ARGV[3] .. ' ' .. new_tie .. ' ' ..
                member_key
end

-- Scores as the server writes them: 17 significant digits read back as the
-- same double; dense members and count bounds use this text.
local function text(value)
  return string.format('%.17g', value)
end

-- The dense member of a score: its text, and with a tiebreak "|" and the
-- tiebreak text, so that the dense set holds each pair once.
local function dense_member(score_text, t)
  if t == '' then
    return score_text
  end
  return score_text .. '|' .. t
end

-- Whether a member of ranking `key` still holds score `score_text` with
-- tiebreak text `t`: the members holding a score are ordered by their
-- tiebreak text, the greater first, so a binary search finds the first
-- that is not greater.
local function holds(key, score_text, t)
  local above = redis.call('ZCOUNT', key, '(' .. score_text, '+inf')
  local stop = above + redis.call('ZCOUNT', key, score_text, score_text)
  local from = first_position(key, above, stop,
                              function(other) return other > t end)
  if from == stop then
    return false
  end
  local member = redis.call('ZREVRANGE', key, string.format('%d', from),
                            string.format('%d', from))[1]
  return tie(member) == t
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
  local old_tie = tie(old_key)
  -- Not better: a lower score, or an equal one without a better second
  -- score (without a tiebreak both texts are empty).
  if value_type == 0 and
     (value < old or (value == old and new_tie <= old_tie)) then
    return p
  end
  p.outcome = 1
  p.old = old
  p.old_key = old_key
  p.old_tie = old_tie
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
  redis.call('ZADD', p.dense_key, new_text, dense_member(new_text, new_tie))
  if p.outcome == 1 and p.old_tie ~= '' then
    local old_text = text(p.old)
    if not holds(p.key, old_text, p.old_tie) then
      redis.call('ZREM', p.dense_key, dense_member(old_text, p.old_tie))
    end
  elseif p.outcome == 1 then
    -- The old score stays a dense member while somebody still holds it.
    local old_text = text(p.old)
    if redis.call('ZCOUNT', p.key, old_text, old_text) == 0 then
      redis.call('ZREM', p.dense_key, old_text)
    else
      redis.call('ZADD', p.dense_key, old_text, old_text)
    end
  end
end

-- A profile is stored as the name's length in bytes, ":", the name and
-- the metadata; a player with neither has no field.
local function pack(name, metadata)
  if name == '' and metadata == '' then
    return false
  end
  return string.len(name) .. ':' .. name .. metadata
end

local function unpack_profile(packed)
  local colon = string.find(packed, ':', 1, true)
  local length = tonumber(string.sub(packed, 1, colon - 1))
  return string.sub(packed, colon + 1, colon + length),
         string.sub(packed, colon + length + 1)
end

if keep_seconds > 0 then
  local seen = redis.call('GET', submission_key)
  if seen then
    local first = string.find(seen, '\n', 1, true)
    local second = string.find(seen, '\n', first + 1, true)
    local third = string.find(seen, '\n', second + 1, true)
    if string.sub(seen, third + 1) ~= fingerprint then
      return {'reused'}
    end
    local answer = {'resent', tonumber(string.sub(seen, first + 1,
                                                  second - 1))}
    local i = 0
    for word in string.gmatch(string.sub(seen, second + 1, third - 1),
                              '%S+') do
      i = i + 1
      if i % 2 == 1 then
        answer[#answer + 1] = tonumber(word)
      else
        answer[#answer + 1] = word
      end
    end
    return answer
  end
end

-- Decides the profile before anything is written: the stored name and
-- metadata, each replaced when the submission carries it.
local profile_changed = 0
local new_profile = false
if has_name or has_metadata then
  local old = redis.call('HGET', profile_key, member_key)
  local name, metadata = '', ''
  if old then
    name, metadata = unpack_profile(old)
  end
  if has_name then
    name = ARGV[8]
  end
  if has_metadata then
    metadata = ARGV[10]
  end
  new_profile = pack(name, metadata)
  if new_profile ~= old then
    profile_changed = 1
  end
end

local function is_infinite(value)
  return value == math.huge or value == -math.huge
end

local plans = {}
local best = nil
for i = 1, ranking_count - 1 do
  local p = decide(i, score, submission_type)
  if p.new ~= p.new then
    return {'nan', i}
  end
  if p.outcome ~= 0 and is_infinite(p.new) then
    return {'inf', i}
  end
  plans[i] = p
  if p.outcome ~= 0 and (best == nil or p.new > best) then
    best = p.new
  end
end
-- The all-time ranking keeps the best period score, or, for a replacing
-- submission, the latest one.
if best ~= nil and alltime then
  local alltime_type = 0
  if submission_type == 3 then
    alltime_type = 3
  end
  local p = decide(ranking_count, best, alltime_type)
  if p.new ~= p.new then
    return {'nan', ranking_count}
  end
  plans[ranking_count] = p
end

local answer = {'stored', profile_changed}
local pairs_text = {}
for i = 1, ranking_count do
  local p = plans[i]
  if p then
    write(p)
    answer[#answer + 1] = p.outcome
    answer[#answer + 1] = text(p.new)
    pairs_text[#pairs_text + 1] = p.outcome .. ' ' .. text(p.new)
  end
end
if profile_changed == 1 then
  if new_profile then
    redis.call('HSET', profile_key, member_key, new_profile)
  else
    redis.call('HDEL', profile_key, member_key)
  end
end
if league_keys > 0 then
  local tier_names = {}
  for i = 15, #ARGV do
    tier_names[#tier_names + 1] = ARGV[i]
  end
  league_join(KEYS[#KEYS - 2], KEYS[#KEYS - 1], KEYS[#KEYS], member_key,
              tonumber(ARGV[14]), tier_names)
end
if keep_seconds > 0 then
  redis.call('SET', submission_key,
             token .. '\n' .. profile_changed .. '\n' ..
             table.concat(pairs_text, ' ') .. '\n' .. fingerprint,
             'EX', keep_seconds)
end
return answer
