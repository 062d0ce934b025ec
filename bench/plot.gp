# The receive throughput chart of scripts/bench.sh:
#   gnuplot -e "data='recv.dat'; out='results.png'" bench/plot.gp
set terminal pngcairo size 1000,560 noenhanced
set output out
set title "Receive throughput on loopback (datagrams per second, log scale; payload/peers)"
set style data histograms
set style histogram clustered gap 1
set style fill solid 0.85 border -1
set datafile missing "-"
set logscale y
set yrange [100:*]
set grid ytics
set key below horizontal
plot data using 2:xtic(1) title "TqProxy.dll (Wine)", "" using 3 title "(b) bare loop, same shape", \
  "" using 4 title "(a) bare recvfrom (Wine)", "" using 5 title "(c) native recvfrom"
