# The wide tree at scale, from bench/scale.csv (bench/scale_bench.py): CPU
# seconds of vok -w and of the suffix-array baseline, and vok -w's peak
# memory per input byte, against the corpus size.  The generated documents
# make the lines (the first five rows); every other corpus is a point.
#   gnuplot -e "scale='bench/scale.csv'; outfile='bench/scale.png'" bench/plot_scale.gp

if (!exists("scale")) scale = "bench/scale.csv"
if (!exists("outfile")) outfile = "bench/scale.png"

set terminal pngcairo size 1400,560 font ",11"
set output outfile
set datafile separator ","
set datafile columnheaders
set grid
set key top left
set xlabel "corpus size (MB, log scale)"
set logscale x
set xrange [0.8:130]
set xtics (1, 5, 10, 25, 50, 100)
mbytes = "column(\"bytes\") / 1e6"

set multiplot layout 1,2 title "vok -w at scale"

set title "CPU time"
set ylabel "seconds"
set yrange [0:*]
plot scale every ::0::4 using (@mbytes):(column("wide_cpu_s")) with linespoints lw 2 title "vok -w, documents", \
     scale every ::0::4 using (@mbytes):(column("sa_lcp_cpu_s")) with linespoints lw 2 title "SA+LCP, documents", \
     scale every ::5 using (@mbytes):(column("wide_cpu_s")) with points pt 7 ps 1.5 title "vok -w, one line and package lists", \
     scale every ::5 using (@mbytes):(column("sa_lcp_cpu_s")) with points pt 5 ps 1.5 title "SA+LCP, the same"

set title "peak memory of vok -w per input byte"
set ylabel "bytes per byte"
set yrange [0:*]
plot scale every ::0::4 using (@mbytes):(column("wide_bytes_per_byte")) with linespoints lw 2 title "documents", \
     scale every ::5 using (@mbytes):(column("wide_bytes_per_byte")) with points pt 7 ps 1.5 title "one line and package lists", \
     30 with lines dt 2 lw 2 title "30 bytes per byte"
unset multiplot
