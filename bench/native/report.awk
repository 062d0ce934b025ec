# Turns the native rows (key,variant,round,value,unit,note) into the printed
# table and a CSV. Values are medians over the rounds; a ratio is taken per
# round (both sides seconds apart) and its median printed, with the range
# over the rounds. Variables: csv (output file).
BEGIN {
  FS = OFS = ","
  nv = split("lib shape recvfrom", vs, " ")
  print "key,variant,round,value,unit,note" > csv
}
{
  print > csv
  val[$1, $2, $3] = $4
  vals[$1, $2] = vals[$1, $2] " " $4
  unit[$1] = $5
  if ($3 + 1 > rounds) rounds = $3 + 1
  if (!($1 in seen)) { seen[$1] = 1; keys[++n] = $1 }
}
function median(list,  a, m, i, j, t) {
  m = split(list, a, " ")
  if (m == 0) return ""
  for (i = 2; i <= m; i++)  # insertion sort: a handful of rounds
    for (j = i; j > 1 && a[j - 1] + 0 > a[j] + 0; j--) { t = a[j]; a[j] = a[j - 1]; a[j - 1] = t }
  return m % 2 ? a[(m + 1) / 2] : (a[m / 2] + a[m / 2 + 1]) / 2
}
# Per-round ratios of variant v1 to v2 for key k: "median [min..max]" parts.
function ratios(k, v1, v2,  r, list, lo, hi, x) {
  list = ""; lo = ""; hi = ""
  for (r = 0; r < rounds; r++) {
    if (!((k, v1, r) in val) || !((k, v2, r) in val) || val[k, v2, r] == 0) continue
    x = val[k, v1, r] / val[k, v2, r]
    list = list " " x
    if (lo == "" || x < lo) lo = x
    if (hi == "" || x > hi) hi = x
  }
  rmed = median(list); rlo = lo; rhi = hi
  return rmed
}
function fmt(x) { return x == "" ? "-" : x + 0 >= 100 ? sprintf("%.0f", x) : sprintf("%.3g", x) }
function fmtr(x) { return x == "" ? "-" : sprintf("%.2f [%.2f..%.2f]", x, rlo, rhi) }
function target(text, value, cmp, limit,  met) {
  met = value == "" ? "no data" : (cmp == ">=" ? value + 0 >= limit : value + 0 <= limit) ? "met" : "NOT MET"
  printf "  %-52s %6s  %s %-4s %s\n", text, value == "" ? "-" : sprintf("%.3f", value), cmp, limit, met
  print "target", text, value, cmp " " limit, met > csv
}
END {
  printf "\n%-15s %-9s %9s %9s %9s  %-20s %-20s\n", "figure", "unit", "lib", "shape", "recvfrom",
    "lib/shape", "lib/recvfrom"
  for (i = 1; i <= n; i++) {
    k = keys[i]
    printf "%-15s %-9s", k, unit[k]
    for (j = 1; j <= nv; j++) printf " %9s", fmt(median(vals[k, vs[j]]))
    printf "  %-20s", fmtr(ratios(k, "lib", "shape"))
    printf " %-20s\n", fmtr(ratios(k, "lib", "recvfrom"))
  }
  printf "\n(medians of %d rounds; ratios: median of the per-round ratios [lowest..highest])\n", rounds
  print "\ntargets (median per-round ratio)"
  for (s = 64; s <= 1200; s += 1136) {
    split("1 16 100000", ps, " ")
    for (p = 1; p <= 3; p++) {
      f = s "_" ps[p]
      target("receive " s "B, " ps[p] " peer(s): lib / shape", ratios("recv" f, "lib", "shape"), ">=", 0.9)
      target("CPU per datagram " s "B, " ps[p] " peer(s): lib / shape", ratios("cpu" f, "lib", "shape"), "<=", 1.1)
    }
  }
}
