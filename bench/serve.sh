# Sourced by bench/run and bench/profile: a private nginx on a free loopback port.
# start_nginx ROOT DIR: serves ROOT, keeps configuration, pid and logs in DIR; sets nginx_port
# and nginx_pid. stop_nginx: stops it (safe to call twice or before start).
nginx_pid=""
nginx_port=""

start_nginx() {
  local root="$1" dir="$2" bin probe
  bin="$(command -v nginx || echo /usr/sbin/nginx)"
  mkdir -p "$dir"
  nginx_port="$(/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')"
  cat >"$dir/nginx.conf" <<EOF
worker_processes 1;
daemon off;
user root;
pid $dir/nginx.pid;
error_log $dir/error.log warn;
events { worker_connections 1024; }
http {
  # When each request began (\$msec minus \$request_time): the service case's first-byte times.
  log_format started '\$msec \$request_time \$uri';
  access_log $dir/access.log started;
  # Bytes sent by request: what a resumed download fetched in all.
  log_format sent '\$body_bytes_sent \$uri';
  access_log $dir/sent.log sent;
  sendfile on;
  tcp_nopush on;
  gzip off;
  keepalive_requests 10000;
  default_type application/octet-stream;
  client_body_temp_path $dir/body;
  proxy_temp_path $dir/proxy;
  fastcgi_temp_path $dir/fastcgi;
  uwsgi_temp_path $dir/uwsgi;
  scgi_temp_path $dir/scgi;
  server {
    listen 127.0.0.1:$nginx_port;
    root $root;
    # The cluster case: every connection limited, as a distant server would be.
    location /slow/ { alias $root/; limit_rate 512k; }
    # A server that limits each connection, as mirrors and hosting services do.
    location /mib/ { alias $root/; limit_rate 1m; }
  }
}
EOF
  "$bin" -p "$dir" -c "$dir/nginx.conf" >"$dir/stdout" 2>&1 &
  nginx_pid=$!
  # Any answer, even 404, means it listens.
  probe="http://127.0.0.1:$nginx_port/"
  for _ in $(seq 1 100); do
    curl -s -o /dev/null "$probe" && return 0
    if ! kill -0 "$nginx_pid" 2>/dev/null; then
      cat "$dir/stdout" "$dir/error.log" >&2 2>/dev/null || true
      return 1
    fi
    sleep 0.1
  done
  echo "nginx did not answer on $probe" >&2
  return 1
}

stop_nginx() {
  [ -n "$nginx_pid" ] || return 0
  if kill -0 "$nginx_pid" 2>/dev/null; then
    kill -QUIT "$nginx_pid" 2>/dev/null || true
    for _ in $(seq 1 50); do
      kill -0 "$nginx_pid" 2>/dev/null || break
      sleep 0.1
    done
    kill -KILL "$nginx_pid" 2>/dev/null || true
  fi
  wait "$nginx_pid" 2>/dev/null || true
  nginx_pid=""
}
