# Shell functions the load scripts share (sourced, not run): the page they
# serve, free ports, medians and ratios, and one h2load run's figures.

# make_page BYTES: HTML of exactly BYTES bytes, a tag every few dozen bytes,
# the closing body and html tags at the end.
make_page() {
  awk -v size="$1" 'BEGIN {
    head = "<!DOCTYPE html>\n<html><head><title>Load</title></head>\n<body>\n"
    tail = "<p class=\"end\">fin</p>\n</body>\n</html>\n"
    room = size - length(tail)
    line = head
    for (i = 0; room > 0; i++) {
      if (length(line) > room) line = substr(line, 1, room)
      printf "%s", line
      room -= length(line)
      line = "<li class=\"item\"><a href=\"/docs/page" i ".html\">Entry " \
             i "</a> <em>with</em> some text.</li>\n"
    }
    printf "%s", tail
  }'
}

# The kernel's choice of a free port on 127.0.0.1, released again for the
# server to take (a random high port where there is no python3).
free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])' 2>/dev/null ||
    echo $((20000 + RANDOM % 20000))
}

# median "A B C ...": the median of the figures in a list.
median() {
  tr ' ' '\n' <<<"$1" | grep . | sort -g |
    awk '{ v[NR] = $1 } END { printf "%.2f", NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# ratio A B: A/B to two places, 0 when B is 0.
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }'; }

# h2load_figures OUTPUT LOG: "REQ/S FAILED P50_MS P99_MS REQUESTS" from
# h2load's printed OUTPUT and its --log-file LOG (one line a request, the
# third field its time in microseconds). Req/s is "-" when h2load printed none.
h2load_figures() {
  local rps fails done p50 p99
  rps=$(sed -n 's/^finished in [^,]*, \([0-9.]*\) req\/s.*/\1/p' <<<"$1")
  fails=$(sed -n 's/^requests: .* \([0-9]*\) failed.*/\1/p' <<<"$1")
  done=$(sed -n 's/^requests: .* \([0-9]*\) succeeded.*/\1/p' <<<"$1")
  read -r p50 p99 < <(cut -f3 "$2" | sort -n | awk '{ v[NR] = $1 }
    END { printf "%.2f %.2f\n", v[int(NR * 0.5) + 1] / 1000, v[int(NR * 0.99) + 1] / 1000 }')
  echo "${rps:--} ${fails:-0} $p50 $p99 ${done:-0}"
}
