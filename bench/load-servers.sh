# The servers bench/load loads (sourced, not run): tagsmith serve started
# and its port read, the configurations of nginx (ngx_http_tagsmith_module,
# sub_filter, plain static files) and Apache httpd (mod_tagsmith,
# mod_substitute), and the check that each answers as it must before any
# load. Everything works from bench/load's variables (scratch, repo, block,
# the ports and process ids) and writes only into the scratch directory.

# start_tagsmith NAME DIR: sets port_NAME from the line it prints.
start_tagsmith() {
  local name=$1 dir=$2 log="$scratch/$1.log" port=""
  "$tagsmith" serve "$dir" --listen 127.0.0.1:0 >"$log" 2>&1 &
  pids+=($!)
  for _ in $(seq 100); do
    port=$(sed -n 's|^[^ ]* listening on http://127\.0\.0\.1:\([0-9]*\)/$|\1|p' "$log")
    [ -n "$port" ] && break
    kill -0 "${pids[-1]}" 2>/dev/null || break
    sleep 0.1
  done
  [ -n "$port" ] || { cat "$log" >&2; fail "tagsmith serve $dir did not start"; }
  printf -v "port_$name" %s "$port"
  printf -v "pid_$name" %s "${pids[-1]}"
}

# check NAME PORT tagged|plain SERVER
check() {
  local name=$1 port=$2 kind=$3 server=$4 url="http://127.0.0.1:$2${5:-/page.html}"
  local headers="$scratch/$name.headers" body="$scratch/$name.body" status=""
  for _ in $(seq 50); do
    status=$(curl -s -o "$body" -D "$headers" -w '%{http_code}' "$url" || true)
    [ "$status" = 200 ] && break
    [ "$server" = nginx ] && ! kill -0 "$nginx_pid" 2>/dev/null && break
    [ "$server" = apache ] && ! kill -0 "$apache_pid" 2>/dev/null && break
    sleep 0.1
  done
  if [ "$status" != 200 ]; then
    [ "$server" = nginx ] && cat "$scratch/nginx/stdout.log" \
      "$scratch/nginx/error.log" >&2 2>/dev/null
    [ "$server" = apache ] && cat "$scratch/apache/stdout.log" \
      "$scratch/apache/error.log" >&2 2>/dev/null
    fail "$name: $url answered '${status:-nothing}', not 200"
  fi
  local expected
  if [ "$kind" = tagged ] || [ "$kind" = flat ]; then
    local inserted=$block
    [ "$kind" = flat ] && inserted=$flat_block
    # The page read as one record (no \001 in it): a line at a time would
    # copy it once a line, which takes minutes for a large page.
    expected=$(make_page "$page_bytes" | BLOCK=$inserted awk 'BEGIN { RS = "\001" }
      { i = index($0, "</body>")
        printf "%s%s%s", substr($0, 1, i - 1), ENVIRON["BLOCK"], substr($0, i) }')
  else
    expected=$(make_page "$page_bytes")
  fi
  # Compare whole bodies (through the shell, which drops the final newline
  # of both alike).
  [ "$(cat "$body")" = "$expected" ] ||
    fail "$name: the body is not the page $([ "$kind" != plain ] &&
      echo with || echo without) the block inserted before </body>"
  if [ "$server" = tagsmith ] || [ "$name" = apache_tagsmith ] ||
     [ "$name" = nginx_module ]; then
    local length
    length=$(tr -d '\r' <"$headers" | sed -n 's/^[Cc]ontent-[Ll]ength: *//p')
    [ "$length" = "$(wc -c <"$body")" ] ||
      fail "$name: Content-Length ${length:-none} for a body of $(wc -c <"$body") bytes"
  fi
}


# write_nginx_conf: $scratch/nginx/nginx.conf.
write_nginx_conf() {
  local nginx_block user_line
  # The block as an nginx string: quotes and backslashes escaped; the CR, LF
  # and tab stay literal characters inside the quoted string.
  nginx_block=${block//\\/\\\\}
  nginx_block=${nginx_block//\"/\\\"}
  user_line=""
  [ "$(id -u)" -eq 0 ] && user_line="user root root;"
  cat >"$scratch/nginx/nginx.conf" <<EOF
# Written by bench/load: static files from the scratch directory, comparable
# to tagsmith serve (see README, "Load against nginx").
$user_line
load_module $repo/build/bin/ngx_http_tagsmith_module.so;
worker_processes 2;
pid $scratch/nginx/nginx.pid;
error_log $scratch/nginx/error.log warn;
events { worker_connections 4096; }
http {
  types { text/html html; }
  default_type application/octet-stream;
  client_body_temp_path $scratch/nginx/temp/body;
  proxy_temp_path $scratch/nginx/temp/proxy;
  fastcgi_temp_path $scratch/nginx/temp/fastcgi;
  uwsgi_temp_path $scratch/nginx/temp/uwsgi;
  scgi_temp_path $scratch/nginx/temp/scgi;
  # tagsmith serve logs every request with a write of its own: so does this.
  access_log $scratch/nginx/access.log;
  # tagsmith serve reads into memory each file the filter holds, and the
  # modules' filter must see every byte: nginx reads them too. (A page the
  # filter lets go at its headers tagsmith serve sends with sendfile.)
  sendfile off;
  tcp_nopush off;
  tcp_nodelay on;
  gzip off;
  etag off;
  # Each server listens with reuseport: a listening socket per worker, so
  # the kernel spreads wrk's connections over both workers. With one shared
  # socket, whichever worker woke first could take all 50 for the run and
  # leave the other idle, which moved p99 from run to run by 2x and more.
  # Connections stay open as long as with tagsmith serve.
  keepalive_timeout 30s;
  keepalive_requests 1000000;
  tagsmith_filter $repo/build/bin/libtagsmith.so;
  server {
    listen 127.0.0.1:$port_nginx_module reuseport;
    root $scratch/tagged;
    tagsmith on;
  }
  server {
    listen 127.0.0.1:$port_nginx_tagged reuseport;
    root $scratch/tagged;
    sub_filter '</body>' "$nginx_block</body>";
    sub_filter_once on;
  }
  server {
    listen 127.0.0.1:$port_nginx_plain reuseport;
    root $scratch/plain;
  }
}
EOF
}

# write_apache_conf: $scratch/apache/httpd.conf.
write_apache_conf() {
  local modules apache_user
  mkdir -p "$scratch/apache"
  modules=/usr/lib/apache2/modules
  apache_user=""
  [ "$(id -u)" -eq 0 ] && apache_user=$'User www-data\nGroup www-data'
  cat >"$scratch/apache/httpd.conf" <<EOF
# Written by bench/load (see README, "Load against nginx").
ServerRoot $scratch/apache
ServerName 127.0.0.1
PidFile $scratch/apache/httpd.pid
DefaultRuntimeDir $scratch/apache
ErrorLog $scratch/apache/error.log
LogLevel warn
$apache_user
LoadModule mpm_event_module $modules/mod_mpm_event.so
LoadModule authz_core_module $modules/mod_authz_core.so
LoadModule mime_module $modules/mod_mime.so
LoadModule substitute_module $modules/mod_substitute.so
LoadModule tagsmith_module $repo/build/bin/mod_tagsmith.so
# Two processes, as nginx has two workers; threads enough for every
# connection.
StartServers 2
ServerLimit 2
ThreadLimit 64
ThreadsPerChild 64
MaxRequestWorkers 128
MinSpareThreads 1
MaxSpareThreads 128
# As for nginx: a log line per request, files read rather than sent by the
# kernel, no ETag, connections kept for the whole run.
LogFormat "%h %l %u %t \"%r\" %>s %b" common
CustomLog $scratch/apache/access.log common
EnableSendfile Off
FileETag None
KeepAlive On
MaxKeepAliveRequests 0
KeepAliveTimeout 30
TypesConfig /etc/mime.types
TagsmithFilter $repo/build/bin/libtagsmith.so
<Directory $scratch>
  Require all granted
</Directory>
Listen 127.0.0.1:$port_apache_tagsmith
Listen 127.0.0.1:$port_apache_substitute
<VirtualHost 127.0.0.1:$port_apache_tagsmith>
  DocumentRoot $scratch/tagged
  Tagsmith On
</VirtualHost>
<VirtualHost 127.0.0.1:$port_apache_substitute>
  DocumentRoot $scratch/tagged
  SetOutputFilter SUBSTITUTE
  Substitute "s|</body>|$apache_block</body>|n"
</VirtualHost>
EOF
}
