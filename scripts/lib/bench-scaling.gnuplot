# scripts/bench --scaling's chart: time against volume size, one line per
# contender. Set on the command line (gnuplot -e "NAME='VALUE'; ..."):
#   terminal  the terminal and its size, e.g. "pngcairo size 900,600"
#   output    the picture's path
#   runs      how many runs each point is the median of
#   plots     the plot command's list: one "FILE using 1:N ... title ..."
#             for each contender measured
set terminal @terminal
set output output
set title sprintf("Time against volume size, median of %s run(s)", runs)
set logscale xy
set xlabel "entries in the volume"
set ylabel "wall time, seconds"
set key top left
set grid
plot @plots
