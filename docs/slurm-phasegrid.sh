#!/bin/bash
# phasegrid over a series of dumps as a SLURM job array: each task runs one
# phasegrid over a group of consecutive dumps of the list.
#
# List the dumps (any paths) one a line, in time order, in dumps.txt and
# submit from the folder that holds the list; "tasks" prints the number of
# tasks the list makes:
#
#   ls run/dump* > dumps.txt
#   sbatch --array=1-$(./slurm-phasegrid.sh tasks) slurm-phasegrid.sh
#
# and, for one series file of all the dumps, submit the merge as a job that
# waits for the array:
#
#   export PHASEGRID_SERIES_DIR=series
#   array=$(sbatch --parsable --array=1-$(./slurm-phasegrid.sh tasks) slurm-phasegrid.sh)
#   sbatch --dependency=afterany:${array%;*} --cpus-per-task=1 --mem=1G \
#     --output=phasegrid-merge-%j.out slurm-phasegrid.sh merge
#
# Task N runs phasegrid once, with -k, over dumps (N-1)*K+1 to N*K of the
# list (K the dumps per task; blank lines do not count), in their order, so
# values carry over from one dump to the next within a task as in one run
# (see many-dumps.md). Each dump's QG<name>01 and IP<name> (<name> the last
# part of its path) go to the folder grids/, the task's console output
# (standard output and error) to logs/task<N>-<first>.log, <first> the name
# of its first dump. The task's exit status is phasegrid's (0 every dump
# read completely, 1 one was damaged or ended early, 2 bad option or output
# file failure; 128 + the signal when the time limit stopped it).
#
# K: PHASEGRID_DUMPS_PER_TASK when set; otherwise as many dumps as make about
# 10 GB by the size of the first dump of the list, at least 1 and at most
# 100 (dumps of 185 bytes a particle: 1 per task from 54 million particles,
# 100 per task below 540,000). Export the same value for the tasks, the
# "tasks" count and the merge.
#
# "merge" (run after the array, however its tasks ended) merges the series
# files of the tasks, in time order, into series.h5 with phasegrid-merge.
# Its exit status: 0 every task wrote its series file and ended with status
# 0 or 1 (so every dump has its row); 1 they are merged but a task wrote no
# series file, or ended otherwise (stopped by the time limit, a full disk:
# its file may lack dumps; see its log); 2 nothing was merged
# (phasegrid-merge says why).
#
# Environment (sbatch passes yours on to the tasks):
#   PHASEGRID                the tool, when it is not on the PATH of the compute nodes
#   PHASEGRID_OPTIONS        phasegrid's options for every dump, e.g. "-c m -r 1 -f 1e-13"
#                            (default none: no centring, no rotating frame)
#   PHASEGRID_DUMP_LIST      the list of dumps (default dumps.txt)
#   PHASEGRID_DUMPS_PER_TASK dumps per task (default from the dumps' size, above)
#   PHASEGRID_OUTPUT_DIR     where the grid and index files go (default grids)
#   PHASEGRID_LOG_DIR        where the console output goes (default logs)
#   PHASEGRID_SERIES_DIR     when set, each task also writes its series file
#                            (--h5) there, as task<N>-<first>.h5, and its exit
#                            status as task<N>-<first>.status; "merge" reads them there
#   PHASEGRID_MERGE          phasegrid-merge, when it is not on the PATH
#   PHASEGRID_SERIES_FILE    the merged series file (default series.h5)
#
#SBATCH --job-name=phasegrid
#SBATCH --cpus-per-task=2
#SBATCH --mem=8G
#SBATCH --time=01:00:00
#SBATCH --output=phasegrid-%A_%a.out

set -euo pipefail
cd "${SLURM_SUBMIT_DIR:-.}"

list="${PHASEGRID_DUMP_LIST:-dumps.txt}"
if [ ! -r "$list" ]; then
  echo "slurm-phasegrid: cannot read the list of dumps $list" >&2
  exit 2
fi
dumps=()
while IFS= read -r line || [ -n "$line" ]; do
  [ -z "$line" ] || dumps+=("$line")
done < "$list"
if [ "${#dumps[@]}" -eq 0 ]; then
  echo "slurm-phasegrid: $list lists no dump" >&2
  exit 2
fi

per_task="${PHASEGRID_DUMPS_PER_TASK:-}"
if [ -z "$per_task" ]; then
  bytes="$(stat -L -c %s -- "${dumps[0]}" 2> /dev/null || echo 0)"
  per_task=$((bytes > 0 ? 10000000000 / bytes : 100))
  per_task=$((per_task < 1 ? 1 : per_task > 100 ? 100 : per_task))
elif ! [[ "$per_task" =~ ^[1-9][0-9]*$ ]]; then
  echo "slurm-phasegrid: PHASEGRID_DUMPS_PER_TASK is \"$per_task\", not a number of dumps" >&2
  exit 2
fi
tasks=$(((${#dumps[@]} + per_task - 1) / per_task))

# The name of task $1's files: task<N>-<its first dump's name>.
task_name() { echo "task$1-$(basename -- "${dumps[($1 - 1) * per_task]}")"; }

if [ "${1:-}" = tasks ]; then
  echo "slurm-phasegrid: ${#dumps[@]} dumps in $list, $per_task a task" >&2
  echo "$tasks"
  exit 0
fi

if [ "${1:-}" = merge ]; then
  series="${PHASEGRID_SERIES_DIR:?set PHASEGRID_SERIES_DIR to the folder of the series files of the tasks}"
  logs="${PHASEGRID_LOG_DIR:-logs}"
  inputs=()
  missing=0
  for ((task = 1; task <= tasks; ++task)); do
    name="$(task_name "$task")"
    group=("${dumps[@]:(task - 1) * per_task:per_task}")
    status="$(cat -- "$series/$name.status" 2> /dev/null || echo none)"
    if [ ! -f "$series/$name.h5" ]; then
      for dump in "${group[@]}"; do
        echo "slurm-phasegrid: dump $dump has no series file $series/$name.h5 (see $logs/$name.log)" >&2
      done
      missing=1
      continue
    fi
    inputs+=("$series/$name.h5")
    if [ "$status" = none ]; then
      echo "slurm-phasegrid: task $task (dumps ${group[0]} to ${group[-1]}) did not note how it ended:" \
        "$series/$name.h5 may lack some of its dumps (see $logs/$name.log)" >&2
      missing=1
    elif [ "$status" != 0 ] && [ "$status" != 1 ]; then
      echo "slurm-phasegrid: task $task (dumps ${group[0]} to ${group[-1]}) ended with status $status:" \
        "$series/$name.h5 may lack some of its dumps (see $logs/$name.log)" >&2
      missing=1
    fi
  done
  if [ "${#inputs[@]}" -eq 0 ]; then
    echo "slurm-phasegrid: no series file to merge in $series" >&2
    exit 2
  fi
  "${PHASEGRID_MERGE:-phasegrid-merge}" "${PHASEGRID_SERIES_FILE:-series.h5}" "${inputs[@]}" || exit 2
  exit "$missing"
fi

task="${SLURM_ARRAY_TASK_ID:?run this as a job array: sbatch --array=1-N, N from \"slurm-phasegrid.sh tasks\"}"
if ! [[ "$task" =~ ^[1-9][0-9]*$ ]] || [ "$task" -gt "$tasks" ]; then
  echo "slurm-phasegrid: no task $task: $list makes $tasks tasks of $per_task dumps (slurm-phasegrid.sh tasks)" >&2
  exit 2
fi
group=("${dumps[@]:(task - 1) * per_task:per_task}")
name="$(task_name "$task")"
out="${PHASEGRID_OUTPUT_DIR:-grids}"
logs="${PHASEGRID_LOG_DIR:-logs}"
if ! mkdir -p "$logs"; then
  echo "slurm-phasegrid: cannot make the log folder $logs" >&2
  exit 2
fi
read -r -a options <<< "${PHASEGRID_OPTIONS:-}"
status_file=/dev/null
if [ -n "${PHASEGRID_SERIES_DIR:-}" ]; then
  if ! mkdir -p "$PHASEGRID_SERIES_DIR"; then
    echo "slurm-phasegrid: cannot make the series folder $PHASEGRID_SERIES_DIR" >&2
    exit 2
  fi
  status_file="$PHASEGRID_SERIES_DIR/$name.status"
  rm -f -- "$status_file"
  options+=(--h5 "$PHASEGRID_SERIES_DIR/$name.h5")
fi

export OMP_NUM_THREADS="${SLURM_CPUS_PER_TASK:-1}"
# SLURM's SIGTERM at the time limit reaches phasegrid too, which closes its
# series file with the dumps done; the script outlives it to note its status.
trap : TERM INT HUP
status=0
"${PHASEGRID:-phasegrid}" -k "${options[@]}" -o "$out" -- "${group[@]}" > "$logs/$name.log" 2>&1 || status=$?
echo "$status" > "$status_file" || true
exit "$status"
