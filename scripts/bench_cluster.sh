# The Redis Cluster rows of scripts/bench.sh, sourced (not run) by it after
# bench_common.sh: the server on the Redis Cluster of scripts/services.sh
# (three primaries, each with a replica, all on this machine; started when
# it is not running, and then stopped again by bench.sh's clean-up), over
# leaderboards spread evenly over the primaries. Per node, the EVALSHA
# calls, commands and CPU of each row; then the submission script's EVALSHA
# rate on one primary alone and on the three at once.
#
# Functions: cluster_rows (runs the rows; uses bench.sh's loadgen,
# start_server, stop_server, write_manifest, wait_for_drained_writes and its
# settings), cluster_report (prints the rows' per-node figures under the
# table; nothing when the rows did not run), cluster_clean (deletes the
# run's keys from the cluster). Files in $work: cluster_procs.txt,
# cluster_lbs.txt, cluster.tsv, cluster_rb.tsv.

# cluster_owner SLOT: the port of the primary serving SLOT, from
# cluster_procs.txt ("port role pid slot ranges...").
cluster_owner() {
  awk -v slot="$1" '$2 == "primary" {
      for (i = 4; i <= NF; ++i) {
        if ($i ~ /^\[/) continue  # a slot being imported or migrated
        n = split($i, range, "-")
        if (slot >= range[1] + 0 && slot <= range[n] + 0) {print $1; exit}
      }
    }' "$work/cluster_procs.txt"
}
# cluster_ids PORT PREFIX N: the first N ids PREFIX1, PREFIX2, ... whose
# slot (a leaderboard's keys are tagged with its id) the primary on PORT
# serves, one a line.
cluster_ids() {
  local port=$1 prefix=$2 want=$3 i=0 found=0 slot
  while [ "$found" -lt "$want" ]; do
    i=$((i + 1))
    if [ "$i" -gt $((100 * want)) ]; then
      say "no slot of the primary on port $port among ${prefix}1 to $prefix$i"
      return 1
    fi
    slot=$(redis-cli -p "$port" CLUSTER KEYSLOT "{$prefix$i}")
    if [ "$(cluster_owner "$slot")" = "$port" ]; then
      echo "$prefix$i"
      found=$((found + 1))
    fi
  done
}
cluster_primaries() { awk '$2 == "primary" {print $1}' "$work/cluster_procs.txt"; }
# Deletes this run's keys from the cluster. KEYS and SCAN see one node, and
# the keys are tagged ("leaderboard:{<id>}:daily"): each primary is scanned
# for the tagged pattern, and what it lists is deleted there (-c follows a
# slot that moved meanwhile).
cluster_clean() {
  local port
  for port in $(cluster_primaries); do
    redis-cli -p "$port" --scan --pattern "leaderboard:{${run_id}_*" |
      awk '{print "UNLINK", $0}' | redis-cli -c -p "$port" >/dev/null || true
  done
}
# cluster_snapshot FILE: per node "port role EVALSHA-calls commands
# cpu-ticks" (INFO commandstats counts the commands a script runs as well).
cluster_snapshot() {
  local port role pid rest
  : >"$1"
  while read -r port role pid rest; do
    redis-cli -p "$port" INFO commandstats | tr -d '\r' |
      awk -F'[:=,]' -v node="$port $role" -v cpu="$(cpu_ticks "$pid")" '
        /^cmdstat_/ {calls += $3; if ($1 == "cmdstat_evalsha") evalsha = $3}
        END {print node, evalsha + 0, calls + 0, cpu}' >>"$1"
  done <"$work/cluster_procs.txt"
}
# cluster_row LABEL [loadgen flags...]: loadgen over the cluster's
# leaderboards, with per node EVALSHA/s, commands/s and CPU (% of one core)
# over the run in cluster.tsv: label, port, role, leaderboards, EVALSHA/s,
# commands/s, cpu %, EVALSHA calls.
cluster_row() {
  local label=$1 start end
  shift
  cluster_snapshot "$work/cluster_before"
  start=$(date +%s.%N)
  loadgen "$label" "$@" --leaderboards="$cluster_list"
  end=$(date +%s.%N)
  cluster_snapshot "$work/cluster_after"
  awk -v label="$label" -v secs="$(awk -v a="$start" -v b="$end" \
        'BEGIN {print b - a}')" -v tps="$ticks_per_second" '
      FILENAME ~ /cluster_lbs/ {lbs[$1]++; next}
      FILENAME ~ /cluster_before/ {ev[$1] = $3; calls[$1] = $4; cpu[$1] = $5
                                   next}
      {printf "%s\t%s\t%s\t%d\t%.0f\t%.0f\t%.0f\t%d\n", label, $1, $2,
         lbs[$1], ($3 - ev[$1]) / secs, ($4 - calls[$1]) / secs,
         100 * ($5 - cpu[$1]) / tps / secs, $3 - ev[$1]}' \
    "$work/cluster_lbs.txt" "$work/cluster_before" "$work/cluster_after" \
    >>"$work/cluster.tsv"
}
# cluster_rows: the cluster rows (see the top of this file).
cluster_rows() {
  local port role pid id ids n tag job deadline waited mix rb_jobs=()
  if ! scripts/services.sh cluster-running; then cluster_started=1; fi
  scripts/services.sh start-cluster >&2
  # Right after the cluster is made, a node may still be a primary without
  # slots that has not yet turned replica: wait until every primary serves
  # slots.
  deadline=$((SECONDS + 30))
  while redis-cli -p "$PLEMOX_REDIS_CLUSTER_PORT" CLUSTER NODES |
    awk '$3 ~ /master/ && NF < 9 {found = 1} END {exit !found}'; do
    if [ $SECONDS -ge $deadline ]; then
      say "the cluster still has a primary without slots after 30 s"
      exit 1
    fi
    sleep 0.2
  done
  # Each node: port, role, process id and, for a primary, its slot ranges.
  redis-cli -p "$PLEMOX_REDIS_CLUSTER_PORT" CLUSTER NODES | while read -r \
    _ address flags _ _ _ _ _ slots; do
    port=${address#*:}
    port=${port%%@*}
    role=replica
    if [[ "$flags" == *master* ]]; then role=primary; fi
    pid=$(redis-cli -p "$port" INFO server | tr -d '\r' |
      sed -n 's/^process_id://p')
    echo "$port $role $pid ${slots:-}"
  done | sort -n >"$work/cluster_procs.txt"
  mapfile -t redis_pids < <(awk '{print $3}' "$work/cluster_procs.txt")
  : >"$work/cluster_lbs.txt"
  cluster_entries=()
  for port in $(cluster_primaries); do
    n=0
    ids=$(cluster_ids "$port" "${run_id}_c" "$cluster_per_primary") || exit 1
    for id in $ids; do
      echo "$port $id" >>"$work/cluster_lbs.txt"
      n=$((n + 1))
      if [ $((2 * n)) -le "$cluster_per_primary" ]; then
        cluster_entries+=("$id=day")
      else
        cluster_entries+=("$id=week")
      fi
    done
  done
  cluster_list=$(awk '{printf "%s%s", (NR > 1 ? "," : ""), $2}' \
    "$work/cluster_lbs.txt")
  manifest=$work/manifest_cluster.json
  write_manifest "$manifest" "${cluster_entries[@]}"
  say "Redis Cluster on $PLEMOX_REDIS_CLUSTER_NODES: ${#cluster_entries[@]}" \
    "leaderboards, $cluster_per_primary per primary"
  start_server --redis_cluster_nodes="$PLEMOX_REDIS_CLUSTER_NODES"
  say "prefill on the cluster: $players players on each leaderboard"
  loadgen prefill-cluster --prefill --duration=0 --requests=0 \
    --players="$players" --leaderboards="$cluster_list" \
    --connections="$connections" --in_flight="$in_flight" --progress=false
  : >"$work/cluster.tsv"
  cluster_load_before=$(cut -d' ' -f1 /proc/loadavg)
  # The prefill's first scores are all database writes: each row starts once
  # the writes before it have drained, so that MariaDB's backlog does not
  # take the cores from the row.
  for mix in submit top; do
    waited=$(wait_for_drained_writes)
    drain_notes+=("$mix-only+cluster: waited ${waited}s for the database writes to drain")
    say "$mix-only+cluster, ${seconds}s"
    cluster_row "$mix-only+cluster" "${common[@]}" --mix="$mix=1"
  done
  cluster_load_after=$(cut -d' ' -f1 /proc/loadavg)
  stop_server
  redis_pids=("$redis_pid")
  # The submission script on one primary alone, then on the three at once
  # (each on keys of its own slots): what the cluster's Redis does with the
  # server's main work on this machine, beside the one Redis's EVALSHA row.
  say "redis-benchmark EVALSHA on the cluster's primaries"
  : >"$work/cluster_rb.tsv"
  for port in $(cluster_primaries); do
    tag=$(cluster_ids "$port" "${run_id}_rb" 1) || exit 1
    echo "$port $tag" >>"$work/cluster_tags.txt"
  done
  read -r port tag <"$work/cluster_tags.txt"
  evalsha_submission "$port" "$redis_requests" "$players" \
    "leaderboard:{$tag}" | sed "s/^/alone\t$port\t/" >>"$work/cluster_rb.tsv"
  rb_jobs=()
  while read -r port tag; do
    evalsha_submission "$port" "$redis_requests" "$players" \
      "leaderboard:{$tag}" >"$work/cluster_rb_$port.tsv" &
    rb_jobs+=($!)
  done <"$work/cluster_tags.txt"
  for job in "${rb_jobs[@]}"; do wait "$job"; done
  while read -r port tag; do
    sed "s/^/together\t$port\t/" "$work/cluster_rb_$port.tsv" \
      >>"$work/cluster_rb.tsv"
  done <"$work/cluster_tags.txt"
}

# cluster_report: the cluster rows' per-node figures, for under the table.
cluster_report() {
  if [ ! -s "$work/cluster.tsv" ]; then return 0; fi
  echo
  echo "Redis Cluster rows (+cluster): $(cluster_primaries | wc -l) primaries" \
    "and $(grep -c ' replica ' "$work/cluster_procs.txt") replicas on the" \
    "same $(nproc) cores as everything else; ${#cluster_entries[@]}" \
    "leaderboards ($cluster_per_primary per primary), $players players each;" \
    "load average $cluster_load_before at the start of the rows," \
    "$cluster_load_after at the end. Their redis us and vs Redis count all" \
    "six nodes and compare with the one Redis's redis-benchmark rows. Per" \
    "node over each row: EVALSHA calls/s, commands/s (INFO commandstats;" \
    "the commands a script runs included), CPU in % of one core:"
  awk -F'\t' '
    FILENAME ~ /results/ {if ($2 == "total" || !($1 in requests)) requests[$1] = $3
                          next}
    {printf "  %-20s %5s %-7s %2d leaderboards %8s EVALSHA/s %9s cmds/s %4s %% CPU",
       $1, $2, $3, $4, $5, $6, $7
     if ($5 > 0) printf " (%.0f us per EVALSHA)", $7 * 1e4 / $5
     printf "\n"
     if ($3 == "primary") {ev[$1] += $5; calls[$1] += $8; n[$1]++
                           if ($5 > top[$1]) top[$1] = $5}
     else replica_cpu[$1] += $7
     if (!($1 in seen)) {seen[$1] = 1; order[++rows] = $1}}
    END {
      for (i = 1; i <= rows; ++i) {
        r = order[i]
        if (ev[r] > 0 && requests[r] > 0)
          printf "  %-20s all primaries %.0f EVALSHA/s, %.2f per request; the busiest primary %.1f %% of them (even: %.1f %%); replicas %.0f %% CPU together\n",
            r, ev[r], calls[r] / requests[r], 100 * top[r] / ev[r], 100 / n[r],
            replica_cpu[r]
      }
    }' "$work/results.tsv" "$work/cluster.tsv"
  awk -F'\t' -v one="$(awk -F'\t' '$1 == "EVALSHA" {print $2}' \
        "$work/redis.tsv")" '
    $1 == "alone" {alone = $3; alone_port = $2}
    $1 == "together" {sum += $3; parts = parts (parts == "" ? "" : " + ") \
                        sprintf("%.0f", $3)}
    END {
      printf "EVALSHA of the submission script (redis-benchmark, 50 clients" \
        " per primary): one Redis %.0f/s; one cluster primary alone (%s)" \
        " %.0f/s; the three primaries at once %s = %.0f/s", one, alone_port,
        alone, parts, sum
      if (alone > 0) printf " (%.2f x one primary alone)", sum / alone
      printf "\n"
    }' "$work/cluster_rb.tsv"
}
