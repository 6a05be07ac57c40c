#!/usr/bin/env bash
# The SLURM array recipe (docs/slurm-phasegrid.sh) under a real single-node
# SLURM: its own munged and key, its own slurmctld and slurmd, all under one
# temporary folder. Three dumps go through the script as a job array of two
# tasks (two dumps, then one: the size "tasks" prints for
# PHASEGRID_DUMPS_PER_TASK=2), and its merge as a job that depends on the
# array; one local run of
# phasegrid over the same dumps must write the same grid and index files and
# the same series file as the merge (but for its version and history), and
# every job must exit 0.
#
# Exits 77 (skipped), saying why, where the daemons cannot be started: not
# root, SLURM or munge not installed, a daemon that does not come up.
# Environment: PHASEGRID_BIN, PHASEGRID_MERGE_BIN, MKDUMP_BIN, PHASEGRID_SOURCE_DIR
# (set by ctest).
set -uo pipefail

skip() { echo "SKIP: $*"; exit 77; }
fail() {
  echo "FAIL: $*" >&2
  show_logs
  exit 1
}
say() { echo "slurm_test: $*"; }

: "${PHASEGRID_BIN:?set PHASEGRID_BIN to the built phasegrid}"
: "${PHASEGRID_MERGE_BIN:?set PHASEGRID_MERGE_BIN to the built phasegrid-merge}"
: "${MKDUMP_BIN:?set MKDUMP_BIN to the built mkdump}"
: "${PHASEGRID_SOURCE_DIR:?set PHASEGRID_SOURCE_DIR to the source tree}"
script="$PHASEGRID_SOURCE_DIR/docs/slurm-phasegrid.sh"

[ "$(id -u)" -eq 0 ] || skip "not root: slurmd and munged must run as root here"
for program in munged mungekey slurmctld slurmd sbatch sinfo squeue scontrol scancel timeout; do
  command -v "$program" > /dev/null ||
    skip "$program is not installed (tools/install-deps installs slurm-wlm and munge)"
done
/usr/bin/python3 -c 'import h5py' 2> /dev/null ||
  skip "python3 cannot import h5py, which compares the series files (tools/install-deps installs python3-h5py)"

top=""
pids=()
jobid=""
merge_jobid=""

show_logs() {
  local f
  # The daemons run in the foreground: their .out files hold all they logged.
  for f in "$top"/log/*.out "$top"/log/jobcomp.txt "$top"/job/phasegrid-*.out "$top"/job/logs/*.log \
    "$top"/log/merge.txt; do
    [ -f "$f" ] || continue
    echo "----- ${f#"$top"/} (last 40 lines)"
    tail -n 40 "$f"
  done
}

cleanup() {
  local pid i
  trap '' HUP PIPE INT TERM  # nothing stops the cleaning up half-way
  [ -n "$top" ] || return
  [ -n "$jobid" ] || jobid="$(grep -m 1 -o '^[0-9][0-9]*' "$top/log/sbatch.txt" 2> /dev/null)"
  [ -n "$merge_jobid" ] || merge_jobid="$(grep -m 1 -o '^[0-9][0-9]*' "$top/log/merge.txt" 2> /dev/null)"
  for job in $merge_jobid $jobid; do
    scancel "$job" 2> /dev/null
    for ((i = 0; i < 20; ++i)); do
      [ -z "$(squeue -h -j "$job" 2> /dev/null)" ] && break
      sleep 0.5
    done
  done
  # Newest first: slurmd, slurmctld, munged.
  for ((i = ${#pids[@]} - 1; i >= 0; --i)); do
    pid="${pids[i]}"
    kill "$pid" 2> /dev/null || continue
    for _ in $(seq 50); do kill -0 "$pid" 2> /dev/null || break; sleep 0.1; done
    kill -9 "$pid" 2> /dev/null
    wait "$pid" 2> /dev/null
  done
  rm -rf "$top"
}
trap cleanup EXIT
trap 'exit 129' HUP PIPE
trap 'exit 130' INT TERM
top="$(mktemp -d /tmp/phasegrid-slurm.XXXXXX)" || skip "cannot make a temporary folder"

# Waits up to $1 seconds for the command after it to succeed; gives up at
# once when the daemon $2 started last has ended.
wait_for() {
  local seconds="$1" daemon="$2" i
  shift 2
  for ((i = 0; i < seconds * 4; ++i)); do
    "$@" && return 0
    kill -0 "$daemon" 2> /dev/null || return 1
    sleep 0.25
  done
  return 1
}

# A TCP port of this machine that nothing listens on.
free_port() {
  local port
  for _ in $(seq 100); do
    port=$((20000 + RANDOM % 12000))  # below the ephemeral ports
    (exec 3<> "/dev/tcp/127.0.0.1/$port") 2> /dev/null || { echo "$port"; return 0; }
  done
  return 1
}

mkdir -p "$top"/{munge,log,run,state,spool,job} || skip "cannot make folders under $top"

# --- munge: its own key and daemon, on its own socket.
socket="$top/munge/munge.socket"
mungekey --create --keyfile="$top/munge/munge.key" > /dev/null 2>&1 ||
  skip "mungekey cannot create a key"
chmod 400 "$top/munge/munge.key"
munged --foreground --force --socket="$socket" --key-file="$top/munge/munge.key" \
  --pid-file="$top/run/munged.pid" --log-file="$top/log/munged.log" \
  --seed-file="$top/munge/munged.seed" > "$top/log/munged.out" 2>&1 &
pids+=($!)
if ! wait_for 10 "${pids[-1]}" test -S "$socket"; then
  show_logs
  skip "munged did not start (its log is above)"
fi

# --- SLURM: one node (this machine as slurmd -C describes it), one partition.
node_line="$(slurmd -C 2> /dev/null | head -n 1)"
[[ "$node_line" == NodeName=* ]] || skip "slurmd -C does not describe this machine: $node_line"
node="${node_line%% *}"
node="${node#NodeName=}"
ctld_port="$(free_port)" && slurmd_port="$(free_port)" || skip "no free TCP port for the daemons"
[ "$ctld_port" != "$slurmd_port" ] || slurmd_port=$((ctld_port + 1))
: > "$top/plugstack.conf"
cat > "$top/slurm.conf" << EOF
ClusterName=phasegridtest
SlurmctldHost=$node(127.0.0.1)
SlurmctldPort=$ctld_port
SlurmdPort=$slurmd_port
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
CredType=cred/munge
AuthInfo=socket=$socket
StateSaveLocation=$top/state
SlurmdSpoolDir=$top/spool
SlurmctldPidFile=$top/run/slurmctld.pid
SlurmdPidFile=$top/run/slurmd.pid
SlurmctldLogFile=$top/log/slurmctld.log
SlurmdLogFile=$top/log/slurmd.log
SlurmctldDebug=info
SlurmdDebug=info
PlugStackConfig=$top/plugstack.conf
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
JobCompType=jobcomp/filetxt
JobCompLoc=$top/log/jobcomp.txt
MpiDefault=none
MailProg=/bin/true
SwitchType=switch/none
SelectType=select/cons_tres
SelectTypeParameters=CR_Core
ReturnToService=2
$node_line NodeAddr=127.0.0.1 State=UNKNOWN
PartitionName=debug Nodes=$node Default=YES MaxTime=INFINITE State=UP
EOF
export SLURM_CONF="$top/slurm.conf"
# Nothing of a surrounding job or of the script's settings leaks in.
unset SLURM_JOB_ID SLURM_ARRAY_TASK_ID SLURM_SUBMIT_DIR PHASEGRID_DUMP_LIST PHASEGRID_OUTPUT_DIR PHASEGRID_LOG_DIR \
  PHASEGRID_SERIES_DIR PHASEGRID_DUMPS_PER_TASK

slurmctld -D -c -f "$SLURM_CONF" > "$top/log/slurmctld.out" 2>&1 &
pids+=($!)
if ! wait_for 15 "${pids[-1]}" scontrol ping > /dev/null 2>&1; then
  show_logs
  skip "slurmctld did not start (its log is above)"
fi
slurmd -D -f "$SLURM_CONF" -N "$node" > "$top/log/slurmd.out" 2>&1 &
pids+=($!)
node_idle() { [ "$(sinfo -h -n "$node" -o %T 2> /dev/null)" = idle ]; }
if ! wait_for 20 "${pids[-1]}" node_idle; then
  sinfo -N -l 2>&1
  show_logs
  skip "the node did not come up idle (its state and the logs are above)"
fi
say "single-node SLURM up: node $node, slurmctld on port $ctld_port"

# --- Three small dumps, listed for the array.
cd "$top/job" || fail "no job folder"
mkdir run
for n in 1 2 3; do
  "$MKDUMP_BIN" --particles 20000 --seed "$n" --time "0.$n" "run/dump00$n" > /dev/null ||
    fail "mkdump could not write run/dump00$n"
done
printf 'run/dump001\nrun/dump002\nrun/dump003\n' > dumps.txt

# The script as the page says to submit it: the array, then its merge as a
# job that waits for it; the test's resources replace the #SBATCH lines so
# that it fits any machine. --wait returns once the merge has ended.
export PHASEGRID_SERIES_DIR=series PHASEGRID_DUMPS_PER_TASK=2
tasks="$("$script" tasks)"
[ "$tasks" = 2 ] || fail "slurm-phasegrid.sh tasks prints \"$tasks\" for 3 dumps, 2 a task"
say "submitting $script as an array of $tasks, and its merge"
start=$SECONDS
PHASEGRID="$PHASEGRID_BIN" PHASEGRID_OPTIONS="-c m" \
  sbatch --parsable --array=1-"$tasks" --cpus-per-task=1 --mem=500M --time=5 "$script" > "$top/log/sbatch.txt" 2>&1
jobid="$(grep -m 1 -o '^[0-9][0-9]*' "$top/log/sbatch.txt")"
[ -n "$jobid" ] || fail "sbatch did not submit the array: $(cat "$top/log/sbatch.txt")"
PHASEGRID_MERGE="$PHASEGRID_MERGE_BIN" timeout 60 \
  sbatch --wait --parsable --dependency=afterany:"$jobid" --cpus-per-task=1 --mem=500M --time=5 \
  --output=phasegrid-merge-%j.out "$script" merge > "$top/log/merge.txt" 2>&1
status=$?
merge_jobid="$(grep -m 1 -o '^[0-9][0-9]*' "$top/log/merge.txt")"
[ -n "$merge_jobid" ] || fail "sbatch did not submit the merge: $(cat "$top/log/merge.txt")"
[ "$status" -ne 124 ] || fail "the array (job $jobid) and its merge did not finish within 60 s"
say "array $jobid and merge $merge_jobid ended after $((SECONDS - start)) s; the merge exited $status"

# Each job's state and exit status, from the job completion records.
records_ready() { [ "$(grep -c 'JobId=' "$top/log/jobcomp.txt" 2> /dev/null)" -ge 3 ]; }
wait_for 5 "${pids[1]}" records_ready || fail "fewer than 3 job completion records"
field() { [[ " $line " =~ \ $1=([^ ]*)\  ]] && echo "${BASH_REMATCH[1]}"; }
good=0
while read -r line; do
  say "  job $(field JobId) (task $(field ArrayTaskId)): $(field JobState), exit code $(field ExitCode)"
  [ "$(field JobState)" = COMPLETED ] && [ "$(field ExitCode)" = 0:0 ] && good=$((good + 1))
done < "$top/log/jobcomp.txt"
[ "$good" -eq 3 ] && [ "$status" -eq 0 ] ||
  fail "not every array task and the merge completed with exit status 0 (the merge exited $status)"

# --- The same dumps in one local run.
"$PHASEGRID_BIN" -q -c m -o local --h5 local.h5 run/dump001 run/dump002 run/dump003 ||
  fail "the local run of phasegrid failed"
for n in 1 2 3; do
  for file in "QGdump00${n}01" "IPdump00$n"; do
    [ -s "grids/$file" ] || fail "the array wrote no grids/$file"
    cmp "grids/$file" "local/$file" || fail "grids/$file differs from the local run's"
  done
done
for name in task1-dump001 task2-dump003; do
  [ -s "series/$name.h5" ] || fail "the array wrote no series/$name.h5"
done
[ "$(cat logs/task1-dump001.log logs/task2-dump003.log | grep -c " FINISHED READ 20000 ")" = 3 ] ||
  fail "the tasks' logs do not show the three dumps read whole"
# The merged series: the local run's, every variable and root attribute
# (but the version and history).
/usr/bin/python3 - series.h5 local.h5 << 'PY' || fail "series.h5 is not the local run's series file"
import sys, h5py, numpy as np
merged, local = (h5py.File(name, "r") for name in sys.argv[1:])
assert set(merged) == set(local), (set(merged), set(local))
for name in local:
    a, b = merged[name][()], local[name][()]
    same = np.array_equal(a, b, equal_nan=a.dtype.kind == "f")
    assert same or name in ("bounds", "xyz"), name  # (bare dimensions: no values)
ignored = {"version", "history"}
assert set(merged.attrs) - ignored == set(local.attrs) - ignored
for name in set(local.attrs) - ignored:
    assert np.array_equal(merged.attrs[name], local.attrs[name]), name
assert len(merged["dump"]) == 3
PY
say "PASS: the 2 array tasks and the merge exited 0 and wrote the local run's files and series"
