# gnuplot -e "csv='bench/results.csv'; out='docs/throughput.png'" bench/plot.gp
# Throughput against pattern length, one line per method: English-like text (a piece of the
# text as the pattern) and all-'a' text where every position matches.
set datafile separator ","
set terminal pngcairo size 1400,560 font "sans,11" noenhanced
set output out
set multiplot layout 1,2
set logscale xy
set xlabel "pattern length (bytes)"
set ylabel "GB/s (1e9 bytes per second)"
set grid
set key bottom right font ",9"
set yrange [0.001:40]
methods = "floor seekpat_fresh seekpat_warm hyperscan memmem std_bmh seekpat_seq"
sel(g, l, m) = sprintf("< awk -F, '$1==\"%s\" && $2==\"%s\" && $5==\"%s\"' %s", g, l, m, csv)
set title "English-like text, 256 MiB: a piece of the text as the pattern"
plot for [k=1:words(methods)] sel("english", "present", word(methods, k)) using 3:6 \
     with linespoints lw 2 title word(methods, k)
set title "All-'a' text, 256 MiB: pattern 'a' x p, every position matches"
set key bottom left
plot for [k=1:words(methods)] sel("all-a", "every", word(methods, k)) using 3:6 \
     with linespoints lw 2 title word(methods, k)
unset multiplot
