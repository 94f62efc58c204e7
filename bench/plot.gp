# Time and peak memory of vok against corpus size, from bench/results.csv,
# bench/wide.csv (vok -w) and bench/baselines.csv (SA+LCP).
#   gnuplot -e "results='bench/results.csv'; outfile='bench/scaling.png'" bench/plot.gp
# Columns are taken by their header names; empty fields (runs that failed)
# are skipped.

if (!exists("results")) results = "bench/results.csv"
if (!exists("outfile")) outfile = "bench/scaling.png"
if (!exists("wide")) wide = "bench/wide.csv"
if (!exists("bases")) bases = "bench/baselines.csv"

set terminal pngcairo size 1400,560 font ",11"
set output outfile
set datafile separator ","
set datafile columnheaders
set grid
set xlabel "corpus size (MB, log scale: the sizes from 0.5 to 5 MB and the 25 MB -w run)"
set logscale x
set xrange [0.4:32]
set xtics (0.5, 1, 2, 3, 4, 5, 10, 25)
set yrange [0:*]
mbytes(col) = column(col) / 1e6

set multiplot layout 1,2 title "vok on generated text (one document per line)"

set title "time"
set ylabel "seconds"
set y2label "CPU microseconds per input byte"
# The per-byte curves in the lower half, the key above them.
stats results using (column("cpu_us_per_input_byte")) nooutput
set y2range [0:1.8 * STATS_max]
set key at graph 0.02, graph 0.98 left top Left reverse
set y2tics
set ytics nomirror
plot results using (mbytes("bytes")):"vok_wall_s" with linespoints lw 2 pt 7 \
       title "vok end to end, wall", \
     ""      using (mbytes("bytes")):"vok_cpu_s" with linespoints lw 2 dt 2 pt 6 \
       title "vok end to end, CPU", \
     ""      using (mbytes("bytes")):"cpu_us_per_input_byte" axes x1y2 \
       with linespoints dt 3 pt 4 title "vok CPU per input byte (right axis)", \
     bases   using (mbytes("bytes")):((column("sa_cpu_s") + column("lcp_cpu_s")) * 1e6 / column("bytes")) \
       axes x1y2 with linespoints dt 3 pt 8 lc rgb "#806000" \
       title "SA+LCP (libdivsufsort) CPU per input byte (right axis)", \
     results using (mbytes("bytes")):"insert_cpu_s" with linespoints pt 5 \
       title "tree (CPU)", \
     ""      using (mbytes("bytes")):"count_select_cpu_s" with linespoints pt 9 \
       title "counting + selection (CPU)", \
     ""      using (mbytes("bytes")):"output_cpu_s" with linespoints pt 11 \
       lc rgb "#b03060" title "output (CPU)", \
     wide    using (mbytes("bytes")):"wide_cpu_s" with linespoints lw 2 pt 13 \
       lc rgb "#208020" title "vok -w end to end, CPU"

set title "peak memory"
set key at graph 0.02, graph 0.45 left top Left reverse
set ylabel "peak RSS (MB)"
set y2label "peak RSS per input byte (bytes)"
set y2range [0:*]
set y2tics
set ytics nomirror
plot results using (mbytes("bytes")):(column("vok_peak_rss_kb") / 1024) \
       with linespoints lw 2 pt 7 title "vok peak RSS", \
     ""      using (mbytes("bytes")):"rss_bytes_per_input_byte" axes x1y2 \
       with linespoints dt 2 pt 6 title "per input byte (right axis)", \
     ""      using (mbytes("bytes")):"rss_above_one_line_bytes_per_input_byte" axes x1y2 \
       with linespoints dt 3 pt 4 title "above a one-line run, per input byte (right axis)", \
     wide    using (mbytes("bytes")):(column("wide_peak_rss_kb") / 1024) \
       with linespoints lw 2 pt 13 lc rgb "#208020" title "vok -w peak RSS", \
     wide    using (mbytes("bytes")):"wide_rss_bytes_per_input_byte" axes x1y2 \
       with linespoints dt 2 pt 12 lc rgb "#208020" title "vok -w per input byte (right axis)"

unset multiplot
