# Sourced by demo.sh and bench.sh (which set BUILD and ROOT): zemhost serve, and a real nginx running the
# example site (examples/nginx-kova.conf) in front of it.
#   start_serve CONFIG DIR [OPTION...]                 sets SERVE_PID and SERVE_PORT; logs in DIR/serve.log
#   start_site_nginx PREFIX SERVE_PORT UPSTREAM_TEXT   sets NGINX_PID; the site answers on PREFIX/site.sock
#   wait_for FILE TEXT                                 polls until FILE holds TEXT (ten seconds at most)

wait_for() {
  for _ in $(seq 200); do grep -q "$2" "$1" 2>/dev/null && return 0; sleep 0.05; done
  echo "'$2' did not appear in $1:" >&2; cat "$1" >&2; exit 1
}

start_serve() {
  local config=$1 dir=$2
  shift 2
  "$BUILD/zemhost" --config "$config" --message-file "$dir/messages.log" \
    serve --listen 127.0.0.1:0 "$@" > "$dir/serve.out" 2> "$dir/serve.log" &
  SERVE_PID=$!
  wait_for "$dir/serve.out" "listening on"
  SERVE_PORT=$(sed -n 's/^zemhost serve listening on .*:\([0-9]*\)$/\1/p' "$dir/serve.out")
}

# The site and its application (a small nginx upstream) on Unix sockets, so no port is picked; the
# signed-in user comes from X-Demo-User, X-Demo-Groups and X-Demo-Level in place of a real
# authentication layer.

start_site_nginx() {
  local prefix=$1 serve_port=$2 text=$3
  mkdir -p "$prefix/logs" "$prefix/tmp"
  sed -e "s#127.0.0.1:9191#127.0.0.1:$serve_port#" \
      -e "s#listen 127.0.0.1:8080;#listen unix:$prefix/site.sock;#" \
      -e "s#http://127.0.0.1:8081#http://unix:$prefix/upstream.sock:#" \
      -e 's#\$remote_user#$http_x_demo_user#g' \
      -e 's#Remote-Groups \$kova_groups#Remote-Groups $http_x_demo_groups#' \
      -e 's#Remote-Auth-Level ""#Remote-Auth-Level $http_x_demo_level#' \
      "$ROOT/examples/nginx-kova.conf" > "$prefix/site.conf"
  cat > "$prefix/nginx.conf" <<NGINX
master_process off;
pid $prefix/nginx.pid;
error_log $prefix/logs/error.log;
events { worker_connections 64; }
http {
  access_log off;
  client_body_temp_path $prefix/tmp/body; proxy_temp_path $prefix/tmp/proxy;
  fastcgi_temp_path $prefix/tmp/fastcgi; uwsgi_temp_path $prefix/tmp/uwsgi; scgi_temp_path $prefix/tmp/scgi;
  server { listen unix:$prefix/upstream.sock; location / { return 200 "$text\n"; } }
  include $prefix/site.conf;
}
NGINX
  nginx -p "$prefix" -e "$prefix/logs/error.log" -c "$prefix/nginx.conf" -g 'daemon off;' 2>> "$prefix/logs/error.log" &
  NGINX_PID=$!
  for _ in $(seq 200); do [ -S "$prefix/site.sock" ] && return 0; sleep 0.05; done
  echo "nginx did not start:" >&2; cat "$prefix/logs/error.log" >&2; exit 1
}
