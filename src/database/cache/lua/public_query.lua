-- One public ranking query as one step: the member count, the slice the
-- range names, and what the numbering of the slice's first member needs,
-- all read at one instant.
--
-- KEYS: 1 the ranking set, 2 its dense set, 3 its member index.
-- ARGV: 1 range type (1 the whole ranking, 2 positions from the top, other
--   values a window around the requester), 2 begin, 3 end (integers),
--   4 ranking type (1 position, 2 competition, other values dense),
--   5 the requester's member key (windows only).
-- Answer: {member count, kind, ...}, kind being
--   "slice", start, members, facts: the members from 0-based position
--     start on, flat {member, score, ...} highest first; facts about the
--     first member's score (empty when there is no member, the numbering
--     is by position or the range is the whole ranking): competition
--     {members with a greater score, members with that score}, dense {the
--     score's 0-based position in the dense set, nil when the dense set
--     lacks it};
--   "own", position, score, facts: the requester's own record (window 0 to
--     0), with the facts as above;
--   "absent": the requester has no entry (window queries);
--   "above": the window ends above the top, so it is empty.
local key, dense_key, index = KEYS[1], KEYS[2], KEYS[3]
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

local function facts(score)
  if ranking_type == 1 then
    return {}
  end
  local score_text = text(tonumber(score))
  if ranking_type == 2 then
    return {redis.call('ZCOUNT', key, '(' .. score_text, '+inf'),
            redis.call('ZCOUNT', key, score_text, score_text)}
  end
  return {redis.call('ZREVRANK', dense_key, score_text)}
end

-- The whole ranking is numbered from its top and needs no facts.
local function slice(start, stop, with_facts)
  local members = redis.call('ZREVRANGE', key, integer(start), integer(stop),
                             'WITHSCORES')
  local first = {}
  if with_facts and #members > 0 then
    first = facts(members[2])
  end
  return {'slice', start, members, first}
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
    answer = {'absent'}
  elseif range_begin == 0 and range_end == 0 then
    local score = redis.call('ZSCORE', key, ranking_key)
    answer = {'own', position, score, facts(score)}
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
