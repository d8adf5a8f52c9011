# Picture of a velktoolcli-zip2coord table: z (amplitude, dB, phase or the
# time signal) as colour over x (frequency, or time after --ifft) and the
# source positions (y: 0.2 per position, in archive order), for one
# microphone channel.
#
#   velktoolcli-zip2coord tf.zip tf.csv
#   gnuplot -e "csv='tf.csv'; png='tf.png'" examples/zip2coord.gp
#
# Variables (set with -e before the script):
#   csv    the table (required)
#   png    the picture written (default: the table's name with .png)
#   mic    the channel shown (default: the first channel of the table)
#   title  the picture's title (default: the table's name)
#   zlabel the colour bar's label (default: "z")
#   width, height  size in pixels (default 1000 x 700)

if (!exists("csv")) {
    print "usage: gnuplot -e \"csv='tf.csv'; png='tf.png'\" zip2coord.gp"
    exit status 1
}
if (!exists("png")) png = csv . ".png"
if (!exists("title")) title = csv
if (!exists("zlabel")) zlabel = "z"
if (!exists("width")) width = 1000
if (!exists("height")) height = 700

set datafile separator ","
set datafile columnheaders

# The first two rows belong to one position and channel: their x distance
# is the width of one cell.
stats csv every ::0::1 using 3 nooutput
dx = STATS_max - STATS_min
if (dx <= 0) dx = 1
stats csv every ::0::0 using 2 nooutput
if (!exists("mic")) mic = int(STATS_min)
stats csv using 4 nooutput
ymax = STATS_max

timeAxis = dx < 0.01
set terminal pngcairo size width, height noenhanced
set output png
set title sprintf("%s  (mic %d)", title, mic)
set xlabel (timeAxis ? "time [s]" : "frequency [Hz]")
set ylabel "source position (0.2 per position, archive order)"
set cblabel zlabel
set yrange [-0.1 : ymax + 0.1]
set xrange [*:*] noextend
set palette defined (0 "#000040", 1 "#2050c0", 2 "#40c0c0", 3 "#f0f040", 4 "#c02020")
set style fill solid noborder
unset key

# One filled cell per row of the chosen channel (cells overlap a little so
# that no seams show); rows of other channels and values that are not
# finite (the dB of a zero amplitude) are skipped.
plot csv using ($2 == mic ? $3 : NaN):4:(dx * 0.51):(0.101):($5 == $5 ? $5 : NaN) \
     with boxxyerror lc palette
