#!/bin/bash
# phasegrid over a series of dumps as a SLURM job array: one dump per task.
#
# List the dumps (any paths) one a line in dumps.txt and submit from the
# folder that holds the list:
#
#   ls run/dump* > dumps.txt
#   sbatch --array=1-$(wc -l < dumps.txt) slurm-phasegrid.sh
#
# and, for one series file of all the dumps, submit the merge as a job that
# waits for the array:
#
#   export PHASEGRID_SERIES_DIR=series
#   array=$(sbatch --parsable --array=1-$(wc -l < dumps.txt) slurm-phasegrid.sh)
#   sbatch --dependency=afterany:${array%;*} --cpus-per-task=1 --mem=1G \
#     --output=phasegrid-merge-%j.out slurm-phasegrid.sh merge
#
# Task N reads the dump on line N and writes QG<name>01 and IP<name> (<name>
# the last part of the dump's path) to the folder grids/, and its console
# output (standard output and error) to logs/<name>.log. The task's exit
# status is phasegrid's (0 read completely, 1 damaged or ended early, 2 bad
# option or output file failure).
# Values do not carry over between tasks: see many-dumps.md.
#
# "merge" (run after the array, however its tasks ended) merges the series
# file of every dump of the list, in time order, into series.h5 with
# phasegrid-merge. Its exit status: 0 every dump's series file is merged; 1
# they are merged but a dump has none (its task stopped before writing one:
# see its log); 2 nothing was merged (phasegrid-merge says why).
#
# Environment (sbatch passes yours on to the tasks):
#   PHASEGRID             the tool, when it is not on the PATH of the compute nodes
#   PHASEGRID_OPTIONS     phasegrid's options for every dump, e.g. "-c m -r 1 -f 1e-13"
#                         (default none: no centring, no rotating frame)
#   PHASEGRID_DUMP_LIST   the list of dumps (default dumps.txt)
#   PHASEGRID_OUTPUT_DIR  where the grid and index files go (default grids)
#   PHASEGRID_LOG_DIR     where the console output goes (default logs)
#   PHASEGRID_SERIES_DIR  when set, each task also writes its dump's series file
#                         (--h5) there, as <name>.h5; "merge" reads them there
#   PHASEGRID_MERGE       phasegrid-merge, when it is not on the PATH
#   PHASEGRID_SERIES_FILE the merged series file (default series.h5)
#
#SBATCH --job-name=phasegrid
#SBATCH --cpus-per-task=2
#SBATCH --mem=8G
#SBATCH --time=01:00:00
#SBATCH --output=phasegrid-%A_%a.out

set -euo pipefail
cd "${SLURM_SUBMIT_DIR:-.}"

list="${PHASEGRID_DUMP_LIST:-dumps.txt}"

if [ "${1:-}" = merge ]; then
  series="${PHASEGRID_SERIES_DIR:?set PHASEGRID_SERIES_DIR to the folder of the series files of the tasks}"
  if [ ! -r "$list" ]; then
    echo "slurm-phasegrid: cannot read the list of dumps $list" >&2
    exit 2
  fi
  inputs=()
  missing=0
  while IFS= read -r dump || [ -n "$dump" ]; do
    [ -n "$dump" ] || continue
    file="$series/$(basename -- "$dump").h5"
    if [ -f "$file" ]; then
      inputs+=("$file")
    else
      echo "slurm-phasegrid: dump $dump has no series file $file (see its log)" >&2
      missing=1
    fi
  done < "$list"
  if [ "${#inputs[@]}" -eq 0 ]; then
    echo "slurm-phasegrid: no series file to merge in $series" >&2
    exit 2
  fi
  "${PHASEGRID_MERGE:-phasegrid-merge}" "${PHASEGRID_SERIES_FILE:-series.h5}" "${inputs[@]}" || exit 2
  exit "$missing"
fi

task="${SLURM_ARRAY_TASK_ID:?run this as a job array: sbatch --array=1-N}"
dump="$(sed -n "${task}p" "$list")"
if [ -z "$dump" ]; then
  echo "slurm-phasegrid: no dump on line $task of $list" >&2
  exit 2
fi
out="${PHASEGRID_OUTPUT_DIR:-grids}"
logs="${PHASEGRID_LOG_DIR:-logs}"
if ! mkdir -p "$logs"; then
  echo "slurm-phasegrid: cannot make the log folder $logs" >&2
  exit 2
fi
read -r -a options <<< "${PHASEGRID_OPTIONS:-}"
if [ -n "${PHASEGRID_SERIES_DIR:-}" ]; then
  if ! mkdir -p "$PHASEGRID_SERIES_DIR"; then
    echo "slurm-phasegrid: cannot make the series folder $PHASEGRID_SERIES_DIR" >&2
    exit 2
  fi
  options+=(--h5 "$PHASEGRID_SERIES_DIR/$(basename -- "$dump").h5")
fi

export OMP_NUM_THREADS="${SLURM_CPUS_PER_TASK:-1}"
exec "${PHASEGRID:-phasegrid}" "${options[@]}" -o "$out" -- "$dump" > "$logs/$(basename -- "$dump").log" 2>&1
