# Sourced by bench/run for CASES=cluster: 300 downloads of 1 MiB from nginx limiting each
# connection to 512 KiB/s (a stand-in for a real network), queued by one client on a private
# nats-server, taken by one host and then by three, each with the same MaxDownloads.
# Writes bench/results/cluster.md. Needs nats-server and the haulcluster library.
cluster_case() {
  local files=300 slots=10 port mport nats_pid t0 t1 wall hosts h count shares row
  local results="$bench/results/cluster.md" table="$work/cluster.rows"
  mkdir -p "$data/c1"
  for i in $(seq -w 1 $files); do make_file "$data/c1/f$i.bin" $((1024 * 1024)); done
  : >"$work/cluster.urls"
  for i in $(seq -w 1 $files); do echo "$base/slow/c1/f$i.bin" >>"$work/cluster.urls"; done
  read -r port mport < <("$py" -c 'import socket
s = [socket.socket() for _ in range(2)]
[x.bind(("127.0.0.1", 0)) for x in s]
print(*[x.getsockname()[1] for x in s])')
  nats-server -js -a 127.0.0.1 -p "$port" -m "$mport" -sd "$work/nats" >"$work/nats.log" 2>&1 &
  nats_pid=$!
  for _ in $(seq 1 100); do curl -s -o /dev/null "http://127.0.0.1:$mport/varz" && break; sleep 0.1; done
  local url="nats://127.0.0.1:$port"
  msgs() { curl -s "http://127.0.0.1:$mport/varz" | "$py" -c 'import json, sys; v = json.load(sys.stdin); print(v["in_msgs"] + v["out_msgs"])'; }
  : >"$table"
  for hosts in 1 3; do
    local pids=()
    rm -rf "$work"/host*
    for h in $(seq 1 "$hosts"); do
      "$haul" --data-dir "$work/host$h" --set Downloader/MaxDownloads=$slots --cluster "$url" serve 2>"$work/host$h.log" &
      pids+=($!)
    done
    for h in $(seq 1 "$hosts"); do
      for _ in $(seq 1 300); do grep -q "joined the cluster" "$work/host$h.log" && break; sleep 0.05; done
    done
    local before after
    before="$(msgs)"
    t0="$(date +%s.%N)"
    "$haul" --cluster "$url" get -q -i "$work/cluster.urls" >"$work/cluster.out" || { log "cluster get failed"; cat "$work/cluster.out" >&2; return 1; }
    t1="$(date +%s.%N)"
    after="$(msgs)"
    wall="$("$py" -c "print('%.1f' % ($t1 - $t0))")"
    shares=""
    count=0
    for h in $(seq 1 "$hosts"); do
      local n
      n="$(find "$work/host$h/download" -type f -name 'f*.bin' | wc -l)"
      count=$((count + n))
      shares="$shares${shares:+, }host $h: $n"
    done
    [ "$count" -eq "$files" ] || { log "cluster: $count files saved, expected $files"; return 1; }
    kill -TERM "${pids[@]}"
    wait "${pids[@]}" || true
    row="| $hosts | $slots | $wall | $("$py" -c "print('%.1f' % ($files / $wall))") | $("$py" -c "print('%.0f' % (($after - $before) / $wall))") | $shares |"
    log "cluster: $row"
    echo "$row" >>"$table"
  done
  kill -TERM "$nats_pid"
  wait "$nats_pid" || true
  {
    echo "# Many hosts, one queue: 300 downloads through a NATS JetStream work queue"
    echo
    echo "- Date: $(date -u '+%Y-%m-%d %H:%M UTC'); commit $(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo unknown)"
    echo "- Machine: $(nproc) cores; $(nats-server --version); hosts, client, nginx and nats-server all on this machine"
    echo "- Method: nginx on 127.0.0.1 limits each connection to 512 KiB/s; 300 files of 1 MiB; one client"
    echo "  (\`haul --cluster URL get -q -i FILE\`) queues them all and waits until each has ended; hosts are"
    echo "  \`haul serve --cluster URL\` with their own data directories, started before the clock."
    echo "  Requests/s: start requests the queue delivered and saw acknowledged, over the wall time."
    echo "  NATS messages/s: everything the server received and sent (requests, acks, progress extensions,"
    echo "  claim updates, events) over the wall time, from its /varz counters."
    echo
    echo "| Hosts | MaxDownloads each | Wall s | Requests/s | NATS messages/s | Files saved per host |"
    echo "|---|---|---|---|---|---|"
    cat "$table"
  } >"$results"
  cat "$results"
}
