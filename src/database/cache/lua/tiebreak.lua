-- What the scripts that order equal scores by a second score share; the
-- build puts it in front of submit_score.lua and public_query.lua.

-- The tiebreak text at the front of a ranking member: 16 hex digits and
-- "_" ('' on a leaderboard without a tiebreak).
local function tie(member)
  if string.sub(member, 17, 17) == '_' and
     string.find(string.sub(member, 1, 16), '^[0-9a-f]+$') then
    return string.sub(member, 1, 16)
  end
  return ''
end

-- The first position in [from, to) of ranking `key` (read highest first)
-- whose member's tiebreak text does not pass `better`: the members holding
-- one score are ordered by that text, the greater first.
local function first_position(key, from, to, better)
  while from < to do
    local middle = math.floor((from + to) / 2)
    local member = redis.call('ZREVRANGE', key, string.format('%d', middle),
                              string.format('%d', middle))[1]
    if better(tie(member)) then
      from = middle + 1
    else
      to = middle
    end
  end
  return from
end
