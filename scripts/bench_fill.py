#!/usr/bin/env python3
"""Fills a leaderboard's Redis structures for the benchmarks, as the
submission script leaves them, without a request per player.

Writes Redis commands (RESP) to standard output for `redis-cli --pipe`:
per time span the ranking set, its member index and (with --dense) its dense
set; with --name_bytes / --metadata_bytes the profile hash; with --league the
league hash of the current period and the tier hash. Players are
"<prefix><n>" of provider --provider (the load generator's), so its requests
find them as players it submitted before. Scores and tiers come from the
player's number alone, so that `sql` below writes the same values into
MariaDB.

  bench_fill.py redis --key leaderboard:ID --spans daily,alltime \
      --players 1000000 [--first 0] [--dense] [--name_bytes 32 ...]
  bench_fill.py sql --table ID_daily --players 1000000 [--first 0]
  bench_fill.py sql-league --league ID --players 1000000 --round 5 ...

`sql` prints one INSERT ... SELECT over MariaDB's sequence engine (seq_A_to_B)
that writes the score rows in key order; `sql-league` the league_tier and
league_placement rows of the players that `redis --league` placed.
"""
import argparse
import sys

# The load generator's scores are whole numbers from 0 to --max_score; a
# multiplicative hash of the player's number spreads them the same way
# (repeats included, as in random draws), and MariaDB computes it alike.
HASH = 2654435761


def score_of(n, max_score):
    return ((n * HASH) // 128) % (max_score + 1)


def score_sql(column, max_score):
    return f"(({column} * {HASH}) DIV 128) MOD {max_score + 1}"


def tier_of(n, tiers):
    # A pyramid: each tier holds about half the players of the one below.
    weight = (n * 40503) % 1000
    tier, bound = 0, 500
    while tier < tiers - 1 and weight >= bound:
        tier += 1
        bound += (1000 - bound) // 2
    return tier


def tier_sql(column, tiers):
    weight = f"(({column} * 40503) MOD 1000)"
    cases, bound = [], 500
    for tier in range(tiers - 1):
        cases.append(f"WHEN {weight} < {bound} THEN {tier}")
        bound += (1000 - bound) // 2
    return f"(CASE {' '.join(cases)} ELSE {tiers - 1} END)"


def inverted(time_ms):
    return "".join("9876543210"[int(d)] for d in str(time_ms))


class Resp:
    def __init__(self, out):
        self.out = out

    def command(self, args):
        parts = [f"*{len(args)}\r\n"]
        for arg in args:
            arg = str(arg)
            parts.append(f"${len(arg.encode())}\r\n{arg}\r\n")
        self.out.write("".join(parts))


def fill_redis(a):
    resp = Resp(sys.stdout)
    spans = [s for s in a.spans.split(",") if s]
    batch = 1000
    # Submission times a millisecond apart, in the past.
    base_ms = 1796688000000
    tiers = a.league.split(",") if a.league else []
    league = {"n": [0] * len(tiers), "size": {}, "members": {}}
    for first in range(a.first, a.first + a.players, batch):
        last = min(a.first + a.players, first + batch)
        rows = []
        for n in range(first, last):
            member = f"{a.prefix}{n}:{a.provider}"
            ranking_key = f"{inverted(base_ms + n)}:{member}"
            rows.append((n, member, ranking_key, score_of(n, a.max_score)))
        for span in spans:
            key = f"{a.key}:{span}"
            zadd, hset = ["ZADD", key], ["HSET", key + ":timestamp"]
            for _, member, ranking_key, score in rows:
                zadd += [score, ranking_key]
                hset += [member, ranking_key]
            resp.command(zadd)
            resp.command(hset)
            if a.dense:
                dense = ["ZADD", key + ":dense"]
                for _, _, _, score in rows:
                    dense += [score, score]
                resp.command(dense)
        if a.name_bytes or a.metadata_bytes:
            hset = ["HSET", a.key + ":profile"]
            for n, member, _, _ in rows:
                name = ""
                if a.name_bytes:
                    name = f"Player {n}".ljust(a.name_bytes, ".")[:a.name_bytes]
                metadata = ""
                if a.metadata_bytes:
                    unit = f"{n}|"
                    metadata = (unit * (a.metadata_bytes // len(unit) + 1))
                    metadata = metadata[:a.metadata_bytes]
                hset += [member, f"{len(name.encode())}:{name}{metadata}"]
            resp.command(hset)
        if tiers:
            league_rows(resp, a, tiers, league, rows)
    if tiers:
        key = f"{a.key}:{a.league_span}:league"
        fields = ["HSET", key, "round", a.round]
        for t, name in enumerate(tiers):
            fields += [f"n:{name}", league["n"][t]]
            fields += [f"t:{name}", sum(
                size for cohort, size in league["size"].items()
                if cohort.rsplit("-", 1)[0] == name)]
        resp.command(fields)
        resp.command(["HSET", a.key + ":league_tiers", "round", a.round])


def league_rows(resp, a, tiers, league, rows):
    """Places the rows' players in the open cohort of their tier, as
    league.lua does, and writes what changed (cohorts written whole)."""
    key = f"{a.key}:{a.league_span}:league"
    placed, tier_fields, touched = ["HSET", key], ["HSET", a.key + ":league_tiers"], set()
    for n, member, _, _ in rows:
        t = tier_of(n, len(tiers))
        if t > 0:
            tier_fields += [member, t]
        name = tiers[t]
        cohort = f"{name}-{league['n'][t]}"
        if league["n"][t] == 0 or league["size"][cohort] >= a.cohort_size:
            league["n"][t] += 1
            cohort = f"{name}-{league['n'][t]}"
            league["size"][cohort] = 0
            league["members"][cohort] = []
        league["size"][cohort] += 1
        league["members"][cohort].append(f"{len(member.encode())}:{member}")
        touched.add(cohort)
        placed += [f"p:{member}", cohort]
    for cohort in touched:
        placed += [f"s:{cohort}", league["size"][cohort],
                   f"c:{cohort}", "".join(league["members"][cohort])]
        if league["size"][cohort] >= a.cohort_size:
            del league["members"][cohort]  # full: never written again
    resp.command(placed)
    if len(tier_fields) > 2:
        resp.command(tier_fields)


def fill_sql(a):
    last = a.first + a.players - 1
    print(f"INSERT INTO `{a.table}` (service_provider, local_account, score, "
          f"time_stamp) SELECT '{a.provider}', CONCAT('{a.prefix}', seq), "
          f"{score_sql('seq', a.max_score)}, -1796688000 FROM "
          f"seq_{a.first}_to_{last} ORDER BY CONCAT('{a.prefix}', seq);")


def fill_sql_league(a):
    tiers = len(a.league.split(","))
    last = a.first + a.players - 1
    member = f"CONCAT('{a.prefix}', seq, ':{a.provider}')"
    tier = tier_sql("seq", tiers)
    print(f"INSERT INTO league_tier(league_id, member_key, tier, last_round, "
          f"changed_round) SELECT '{a.league_id}', {member}, {tier}, "
          f"{a.round - 1}, {a.round - 1} FROM seq_{a.first}_to_{last} "
          f"WHERE {tier} > 0 ORDER BY {member};")
    # The cohort ids are not recomputed here (recovery reads them; the
    # period end does not): the table holds a row per placement, sized as
    # the server writes them.
    print(f"INSERT INTO league_placement(league_id, round, member_key, "
          f"cohort_id) SELECT '{a.league_id}', {a.round}, {member}, "
          f"CONCAT('tier', {tier}, '-', seq DIV {a.cohort_size} + 1) FROM "
          f"seq_{a.first}_to_{last};")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    sub = parser.add_subparsers(dest="what", required=True)
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("--players", type=int, required=True)
    common.add_argument("--first", type=int, default=0)
    common.add_argument("--prefix", default="p")
    common.add_argument("--provider", default="loadgen")
    common.add_argument("--max_score", type=int, default=1000000)
    r = sub.add_parser("redis", parents=[common])
    r.add_argument("--key", required=True, help="leaderboard:<id>")
    r.add_argument("--spans", default="alltime")
    r.add_argument("--dense", action="store_true")
    r.add_argument("--name_bytes", type=int, default=0)
    r.add_argument("--metadata_bytes", type=int, default=0)
    r.add_argument("--league", default="", help="tier names, lowest first")
    r.add_argument("--league_span", default="daily")
    r.add_argument("--cohort_size", type=int, default=50)
    r.add_argument("--round", type=int, default=1)
    s = sub.add_parser("sql", parents=[common])
    s.add_argument("--table", required=True)
    sl = sub.add_parser("sql-league", parents=[common])
    sl.add_argument("--league_id", required=True)
    sl.add_argument("--league", required=True, help="tier names")
    sl.add_argument("--cohort_size", type=int, default=50)
    sl.add_argument("--round", type=int, default=1)
    a = parser.parse_args()
    if a.what == "redis":
        fill_redis(a)
    elif a.what == "sql":
        fill_sql(a)
    else:
        fill_sql_league(a)


if __name__ == "__main__":
    main()
