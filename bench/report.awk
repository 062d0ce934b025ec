# Turns the benchmark rows (key,variant,value,unit,note) into the printed
# tables, the CSV (the rows, then one row per target) and the chart's data.
# Variables: csv, dat (output files).
BEGIN {
  FS = OFS = ","
  nv = split("lib shape recvfrom native", vs, " ")
  print "key,variant,value,unit,note" > csv
}
{
  print > csv
  v[$1, $2] = $3
  unit[$1] = $4
  if (!($1 in seen)) { seen[$1] = 1; keys[++n] = $1 }
}
function has(k, var) { return (k, var) in v }
function fmt(x) { return x == "" ? "-" : x + 0 >= 100 ? sprintf("%.0f", x) : sprintf("%.3g", x) }
function ratio(k1, v1, k2, v2) {
  return has(k1, v1) && has(k2, v2) && v[k2, v2] != 0 ? sprintf("%.4f", v[k1, v1] / v[k2, v2]) : ""
}
function target(text, value, cmp, limit,  met) {
  met = value == "" ? "no data" : (cmp == ">=" ? value + 0 >= limit : value + 0 <= limit) ? "met" : "NOT MET"
  printf "  %-62s %8s  %s %-5s %s\n", text, fmt(value), cmp, limit, met
  print "target", text, value, cmp " " limit, met > csv
}
END {
  printf "\n%-16s %-9s %9s %9s %9s %9s %8s %8s %8s\n", "network figure", "unit", "lib", "(b)shape",
    "(a)recvfr", "(c)native", "lib/(b)", "lib/(a)", "lib/(c)"
  for (i = 1; i <= n; i++) {
    k = keys[i]
    if (!has(k, "lib") && !has(k, "shape") && !has(k, "recvfrom") && !has(k, "native")) continue
    printf "%-16s %-9s", k, unit[k]
    for (j = 1; j <= nv; j++) printf " %9s", has(k, vs[j]) ? fmt(v[k, vs[j]]) : "-"
    for (j = 2; j <= nv; j++) printf " %8s", fmt(ratio(k, "lib", k, vs[j]))
    printf "\n"
    if (k ~ /^recv/) {
      label = k; sub(/^recv/, "", label); sub(/_/, "B/", label); sub(/000$/, "k", label)
      printf "\"%s\"", label > dat
      for (j = 1; j <= nv; j++) printf " %s", has(k, vs[j]) ? v[k, vs[j]] : "-" > dat
      printf "\n" > dat
    }
  }
  printf "\n%-20s %-7s %9s %9s %9s %11s\n", "in-process figure", "unit", "10", "10000", "100000",
    "100000/10"
  for (i = 1; i <= n; i++) {
    k = keys[i]
    if (!has(k, "inproc") || k !~ /_10$/) continue
    base = substr(k, 1, length(k) - 3)
    printf "%-20s %-7s %9s %9s %9s %11s\n", base, unit[k], fmt(v[k, "inproc"]),
      fmt(v[base "_10000", "inproc"]), fmt(v[base "_100000", "inproc"]),
      fmt(ratio(base "_100000", "inproc", k, "inproc"))
  }
  for (i = 1; i <= n; i++)
    if (keys[i] ~ /^log_/) printf "%-20s %-7s %9s\n", keys[i], unit[keys[i]], fmt(v[keys[i], "inproc"])

  print "\ntargets (ratios from this run)"
  for (s = 64; s <= 1200; s += 1136) {
    for (p = 1; p <= 16; p += 15) {
      f = s "_" p
      target("receive " s "B from " p " peer(s): lib / bare loop (b)", ratio("recv" f, "lib", "recv" f, "shape"), ">=", 0.9)
      target("CPU per datagram " s "B from " p " peer(s): lib / (b)", ratio("cpu" f, "lib", "cpu" f, "shape"), "<=", 1.1)
    }
    target("receive " s "B: 100000 peers / 1 peer", ratio("recv" s "_100000", "lib", "recv" s "_1", "lib"), ">=", 0.9)
  }
  target("send to a known peer: 100000 / 1 peer in the table", ratio("send_100000", "lib", "send_1", "lib"), ">=", 0.9)
  target("echo p50: lib / bare loop (b)", ratio("echo_p50", "lib", "echo_p50", "shape"), "<=", 1.2)
  target("heap allocations per datagram from a known peer", v["allocs_per_lookup_100000", "inproc"], "<=", 0)
  split("lookup_rand lookup_same expire sendsel", ops, " ")
  for (i = 1; i <= 4; i++)
    target("in process " ops[i] ": 100000 / 10 peers", ratio(ops[i] "_100000", "inproc", ops[i] "_10", "inproc"), "<=", 2)
  target("heap bytes per peer entry (100000 peers)", v["heap_per_peer_100000", "inproc"], "<=", 320)
  target("in process sweep, one entry due a cycle: 100000 / 10 peers", ratio("churn_100000", "inproc", "churn_10", "inproc"), "<=", 2)
  if (has("churn_recv64_100000", "lib"))
    target("receive 64B, about 100000 peers turning over / 1 peer", ratio("churn_recv64_100000", "lib", "recv64_1", "lib"), ">=", 0.9)
}
