#!/usr/bin/env bash
# Renders the ratios of a `talvex bench --csv FILE` run as a bar chart (PNG) with
# gnuplot, installed with apt-get when missing. A ratio is the case's median time
# over its reference's; 1 means as fast as the reference.
# Usage: scripts/plot-bench.sh FILE.csv [OUT.png]   (default OUT: FILE.png)
set -euo pipefail

if [ $# -lt 1 ] || [ ! -f "$1" ]; then
  echo "usage: scripts/plot-bench.sh FILE.csv [OUT.png]" >&2
  exit 2
fi
csv=$1
png=${2:-${csv%.csv}.png}

if ! command -v gnuplot >/dev/null 2>&1; then
  echo "== installing gnuplot-nox" >&2
  sudo=""
  if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
  $sudo apt-get update -q >&2
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q gnuplot-nox >&2
fi

# The measured rows as "label<TAB>ratio" (skipped cases have no ratio); quoted fields may hold commas.
data=$(mktemp)
trap 'rm -f "$data"' EXIT
# Splits one CSV line into the array `fields`, honouring double-quoted fields.
split_csv() {
  local line=$1 field="" quoted=0 char i
  fields=()
  for ((i = 0; i < ${#line}; i++)); do
    char=${line:i:1}
    if [ "$char" = '"' ]; then
      quoted=$((1 - quoted))
    elif [ "$char" = ',' ] && [ $quoted -eq 0 ]; then
      fields+=("$field")
      field=""
    else
      field+=$char
    fi
  done
  fields+=("$field")
}
tail -n +2 "$csv" | while IFS= read -r line; do
  split_csv "$line"
  if [ -n "${fields[7]:-}" ]; then printf '%s\t%s\n' "${fields[0]}" "${fields[7]}"; fi
done > "$data"
if [ ! -s "$data" ]; then
  echo "plot-bench: no measured rows in $csv" >&2
  exit 1
fi

gnuplot <<GNUPLOT
set terminal pngcairo size 1200,700 noenhanced font ",10"
set output "$png"
set datafile separator "\t"
set title "talvex bench: median time over the reference's (lower is better)"
set style fill solid 0.7 border -1
set boxwidth 0.7
set yrange [0:*]
set ylabel "ratio"
set xtics rotate by -40 left
set grid ytics
set key off
set bmargin 12
set rmargin 12
plot "$data" using 0:2:xtic(1) with boxes lc rgb "#3b75af", \
     "" using 0:2:(sprintf("%.2f", \$2)) with labels offset 0,0.7, \
     1 with lines lc rgb "#c03030" dt 2
GNUPLOT
echo "$png"
