#!/bin/bash
# phasegrid over a series of dumps as a SLURM job array: one dump per task.
#
# List the dumps one a line in dumps.txt and submit from the folder that
# holds them:
#
#   ls dump* > dumps.txt
#   sbatch --array=1-$(wc -l < dumps.txt) slurm-phasegrid.sh
#
# Task N reads the dump on line N and writes QG<name>01 and IP<name> beside
# it, and its console output to <name>.log. The task's exit status is
# phasegrid's (0 read completely, 1 damaged or ended early, 2 bad answer or
# output file failure). Values do not carry over between tasks: see
# many-dumps.md.
#
# Set PHASEGRID to the tool's path when it is not on the PATH of the compute
# nodes, DUMP_LIST to use another list, and ANSWERS to the dialogue answers
# after the dump's name (default: no centring, no rotating frame).
#
#SBATCH --job-name=phasegrid
#SBATCH --cpus-per-task=2
#SBATCH --mem=8G
#SBATCH --time=01:00:00
#SBATCH --output=phasegrid-%A_%a.out

set -euo pipefail
cd "${SLURM_SUBMIT_DIR:-.}"

list="${DUMP_LIST:-dumps.txt}"
task="${SLURM_ARRAY_TASK_ID:?run this as a job array: sbatch --array=1-N}"
dump="$(sed -n "${task}p" "$list")"
if [ -z "$dump" ]; then
  echo "slurm-phasegrid: no dump on line $task of $list" >&2
  exit 2
fi
if [ "${#dump}" -gt 7 ]; then
  echo "slurm-phasegrid: \"$dump\" is longer than 7 characters; phasegrid reads only the first 7" >&2
  exit 2
fi

export OMP_NUM_THREADS="${SLURM_CPUS_PER_TASK:-1}"
printf '1\n%s\n%b' "$dump" "${ANSWERS:-n\n0\n}" | "${PHASEGRID:-phasegrid}" > "$dump.log"
