-- One public ranking query as one step: the member count, the slice the
-- range names, and what the numbering of the slice's first member needs,
-- all read at one instant.
--
-- KEYS: 1 the ranking set, 2 its dense set, 3 its member index, 4 the
--   leaderboard's profile hash (see submit_score.lua); on a league, 5 its
--   tier hash (see league.lua).
-- ARGV: 1 range type (1 the whole ranking, 2 positions from the top, other
--   values a window around the requester), 2 begin, 3 end (integers),
--   4 ranking type (1 position, 2 competition, other values dense),
--   5 the requester's member key (windows only).
-- Answer: {member count, kind, ...}, kind being
--   "slice", start, members, facts, profiles: the members from 0-based
--     position start on, flat {member, score, ...} highest first; facts
--     about the first member's score (empty when there is no member, the
--     numbering is by position or the range is the whole ranking):
--     competition {members with a greater score, members with that score},
--     dense {the score's 0-based position in the dense set, nil when the
--     dense set lacks it}; with a tiebreak (the member starts with its
--     tiebreak text), better pairs of score and second score, members with
--     that pair, and the pair's position in the dense set ("score|text"); the members' packed profiles in member order
--     (nil for a member without one), or empty when the leaderboard keeps
--     no profiles;
--   "own", position, score, facts, profile, member: the requester's own
--     record (window 0 to 0), with the facts as above, its profile (or nil)
--     and its ranking member;
--   "absent", profile: the requester has no entry (window queries);
--   "above": the window ends above the top, so it is empty.
-- On a league, "slice", "own" and "absent" end with the tiers of their
--   members as the tier hash holds them: for a slice a list in member order
--   (empty when the hash does not exist: everybody is in the lowest tier),
--   for the others one value; nil for a member without one.
local key, dense_key, index, profile_key = KEYS[1], KEYS[2], KEYS[3],
                                           KEYS[4]
local tiers_key = KEYS[5]
local range_type = tonumber(ARGV[1])
local range_begin = tonumber(ARGV[2])
local range_end = tonumber(ARGV[3])
local ranking_type = tonumber(ARGV[4])
local member_key = ARGV[5]

local function text(value)
  return string.format('%.17g', value)
end

local function integer(value)
  return string.format('%d', value)
end

local function facts(score, member)
  if ranking_type == 1 then
    return {}
  end
  local score_text = text(tonumber(score))
  local t = tie(member)
  if t ~= '' then
    -- Equal only when the second scores are equal too: among the members
    -- holding the score, those with a greater tiebreak text rank above.
    if ranking_type == 2 then
      local above = redis.call('ZCOUNT', key, '(' .. score_text, '+inf')
      local stop = above + redis.call('ZCOUNT', key, score_text, score_text)
      local first = first_position(key, above, stop,
                                   function(other) return other > t end)
      local last = first_position(key, first, stop,
                                  function(other) return other >= t end)
      return {first, last - first}
    end
    return {redis.call('ZREVRANK', dense_key, score_text .. '|' .. t)}
  end
  if ranking_type == 2 then
    return {redis.call('ZCOUNT', key, '(' .. score_text, '+inf'),
            redis.call('ZCOUNT', key, score_text, score_text)}
  end
  return {redis.call('ZREVRANK', dense_key, score_text)}
end

-- Fields asked for per HMGET: well below the limit of Lua's unpack.
local profile_chunk = 1000

-- The values of hash `hash` for the member keys of the members (flat
-- {member, score, ...}) in member order, nil for a member without one;
-- empty when the hash does not exist (a leaderboard that keeps no
-- profiles, a league whose players are all in the lowest tier).
local function member_values(hash, members)
  if #members == 0 or redis.call('EXISTS', hash) == 0 then
    return {}
  end
  local found = {}
  local fields = {}
  for i = 1, #members, 2 do
    local colon = string.find(members[i], ':', 1, true) or 0
    fields[#fields + 1] = string.sub(members[i], colon + 1)
    if #fields == profile_chunk or i + 1 == #members then
      local values = redis.call('HMGET', hash, unpack(fields))
      for j = 1, #fields do
        found[#found + 1] = values[j]
      end
      fields = {}
    end
  end
  return found
end

-- The whole ranking is numbered from its top and needs no facts.
local function slice(start, stop, with_facts)
  local members = redis.call('ZREVRANGE', key, integer(start), integer(stop),
                             'WITHSCORES')
  local first = {}
  if with_facts and #members > 0 then
    first = facts(members[2], members[1])
  end
  local answer = {'slice', start, members, first,
                  member_values(profile_key, members)}
  if tiers_key then
    answer[#answer + 1] = member_values(tiers_key, members)
  end
  return answer
end

-- The requester's own tier at the end of `answer` (leagues only).
local function with_tier(answer)
  if tiers_key then
    answer[#answer + 1] = redis.call('HGET', tiers_key, member_key)
  end
  return answer
end

local total = redis.call('ZCARD', key)
local answer
if range_type == 1 then
  answer = slice(0, -1, false)
elseif range_type == 2 then
  answer = slice(range_begin, range_end, true)
else
  local ranking_key = redis.call('HGET', index, member_key)
  local position = false
  if ranking_key and ranking_key ~= '' then
    position = redis.call('ZREVRANK', key, ranking_key)
  end
  if not position then
    answer = with_tier({'absent', redis.call('HGET', profile_key,
                                             member_key)})
  elseif range_begin == 0 and range_end == 0 then
    local score = redis.call('ZSCORE', key, ranking_key)
    answer = with_tier({'own', position, score, facts(score, ranking_key),
                        redis.call('HGET', profile_key, member_key),
                        ranking_key})
  else
    local start = position + range_begin
    if start < 0 then
      start = 0
    end
    local stop = position + range_end
    if stop < 0 then
      answer = {'above'}
    else
      answer = slice(start, stop, true)
    end
  end
end
table.insert(answer, 1, total)
return answer
