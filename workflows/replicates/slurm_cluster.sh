#!/usr/bin/env bash
# A throwaway single-node SLURM cluster with accounting, from Debian's packages (slurmctld, slurmd,
# slurm-client, slurmdbd, munge, mariadb-server), for trying the workflow's cluster path on one
# machine. Every file (keys, configurations, databases, spools, logs, PID files) lives in one
# private folder made by mktemp; nothing under /etc is written and no system service is used.
#
# Usage (as root):
#   slurm_cluster.sh start           starts a cluster; prints its folder on stdout
#   slurm_cluster.sh stop DIR        ends every daemon started for DIR, by its PID, removes DIR
#   slurm_cluster.sh run CMD [ARG]   starts a cluster, runs CMD in it, stops the cluster whatever
#                                    CMD's exit status; exits with CMD's status
# Commands use the cluster through SLURM_CONF=DIR/slurm.conf (`run` exports it).
#
# Environment: SLURM_CLUSTER_PORT (default 6817) is the first of four TCP ports on 127.0.0.1 and
# this host: slurmctld, slurmd, slurmdbd, MariaDB. KEEP_SLURM_DIR=1 keeps the folder at stop.
# The cluster is named `driftsim`, its one partition `debug`; jobs may be charged to the account
# `driftsim`, which the user running this script (and root) belong to.
set -euo pipefail
shopt -s inherit_errexit  # a failure inside $(start) fails start

PORT=${SLURM_CLUSTER_PORT:-6817}
CLUSTER=driftsim
ACCOUNT=driftsim
PARTITION=debug

say() { echo "slurm_cluster: $*" >&2; }
die() { say "$*"; exit 1; }

# wait_for SECONDS WHAT CMD...: runs CMD every half second until it succeeds; fails after SECONDS.
wait_for() {
  local seconds=$1 what=$2 i
  shift 2
  for ((i = 0; i < seconds * 2; i++)); do
    if "$@" >/dev/null 2>&1; then return 0; fi
    sleep 0.5
  done
  say "timed out after ${seconds} s waiting for $what"
  return 1
}

# Every daemon goes into DIR/pids as "NAME PID" once it runs, so that stop ends exactly these.
record_pid() {  # record_pid NAME PIDFILE
  local pid
  wait_for 30 "$1 to write $2" test -s "$2"
  pid=$(cat "$2")
  echo "$1 $pid" >> "$DIR/pids"
}

listening() { ss -Htln "sport = :$1" | grep -q .; }

# The end of every daemon's log, for a failure in CI where the folder is gone afterwards.
show_logs() {
  local f
  for f in "$1"/log/*.log "$1"/munge/munged.log "$1"/mysql/mariadb.log; do
    if [ -s "$f" ]; then
      echo "--- ${f#"$1"/}"
      tail -n 15 "$f"
    fi
  done >&2
}

start() {
  [ "$(id -u)" = 0 ] || die "must run as root (daemons switch users, jobs run as the caller)"
  local cmd
  for cmd in munged mungekey mariadb-install-db mysqld_safe mysql slurmdbd slurmctld slurmd \
    sinfo sacctmgr ss; do
    command -v "$cmd" >/dev/null || die "$cmd not found (apt-get install slurmctld slurmd" \
      "slurm-client slurmdbd munge mariadb-server)"
  done
  local p
  for p in "$PORT" $((PORT + 1)) $((PORT + 2)) $((PORT + 3)); do
    ! listening "$p" || die "port $p is in use; set SLURM_CLUSTER_PORT"
  done

  DIR=$(mktemp -d -t driftsim-slurm.XXXXXX)
  # The daemons' users (munge, mysql) must reach their folders inside.
  chmod 755 "$DIR"
  : > "$DIR/pids"
  # A failure half way stops what already runs and keeps the logs.
  trap 'say "start failed"; show_logs "$DIR"; KEEP_SLURM_DIR=1 stop "$DIR"' EXIT
  mkdir -p "$DIR"/{log,munge,munge-run,mysql,ctld,spool}
  export SLURM_CONF="$DIR/slurm.conf"
  local host user=${SUDO_USER:-${USER:-root}}
  host=$(hostname -s)

  # 1. munge: its own key and socket, the daemon running as munge. munged wants the key's folder
  # private and the socket's folder open to all for reading, writable by munge alone.
  say "munged"
  local sock="$DIR/munge-run/munge.socket"
  mungekey --create --keyfile="$DIR/munge/munge.key"
  chown -R munge:munge "$DIR/munge" "$DIR/munge-run"
  chmod 700 "$DIR/munge"
  chmod 755 "$DIR/munge-run"
  chmod 400 "$DIR/munge/munge.key"
  runuser -u munge -- munged --key-file="$DIR/munge/munge.key" --socket="$sock" \
    --pid-file="$DIR/munge/munged.pid" --log-file="$DIR/munge/munged.log" \
    --seed-file="$DIR/munge/munged.seed" < /dev/null >> "$DIR/log/daemons.log" 2>&1
  record_pid munged "$DIR/munge/munged.pid"
  wait_for 30 "munged to answer" sh -c "munge -n -S '$sock' | unmunge -S '$sock'"

  # 2. MariaDB: a database of its own, reached over TCP on 127.0.0.1 (slurmdbd has no setting for
  # a socket path), with a database and a user for slurmdbd.
  say "mariadb"
  local db="$DIR/mysql" dbpass
  dbpass=$(od -An -tx1 -N12 /dev/urandom | tr -d ' \n')
  chown mysql:mysql "$db"
  mariadb-install-db --no-defaults --user=mysql --datadir="$db/data" --skip-test-db \
    --auth-root-authentication-method=socket > "$DIR/log/mariadb-install.log" 2>&1
  # mysqld_safe stays in the foreground and restarts mysqld if it dies; both PIDs are recorded.
  mysqld_safe --no-defaults --user=mysql --datadir="$db/data" --socket="$db/mysqld.sock" \
    --pid-file="$db/mysqld.pid" --log-error="$db/mariadb.log" --port=$((PORT + 3)) \
    --bind-address=127.0.0.1 --skip-name-resolve < /dev/null > "$DIR/log/mysqld_safe.log" 2>&1 &
  echo "mysqld_safe $!" >> "$DIR/pids"
  record_pid mysqld "$db/mysqld.pid"
  wait_for 60 "mariadb to answer" mysqladmin --no-defaults --socket="$db/mysqld.sock" ping
  mysql --no-defaults --socket="$db/mysqld.sock" -u root <<SQL
CREATE DATABASE slurm_acct_db;
CREATE USER 'slurm'@'127.0.0.1' IDENTIFIED BY '$dbpass';
GRANT ALL ON slurm_acct_db.* TO 'slurm'@'127.0.0.1';
SQL

  # 3. slurmdbd, which finds slurmdbd.conf beside $SLURM_CONF; the file holds the database
  # password, hence mode 600.
  say "slurmdbd"
  local auth="AuthType=auth/munge
AuthInfo=socket=$sock"
  (
    umask 077
    cat > "$DIR/slurmdbd.conf" <<CONF
$auth
DbdHost=$host
DbdPort=$((PORT + 2))
SlurmUser=root
StorageType=accounting_storage/mysql
StorageHost=127.0.0.1
StoragePort=$((PORT + 3))
StorageUser=slurm
StoragePass=$dbpass
StorageLoc=slurm_acct_db
PidFile=$DIR/slurmdbd.pid
LogFile=$DIR/log/slurmdbd.log
CONF
  )
  chmod 600 "$DIR/slurmdbd.conf"

  # 4. slurm.conf: this host as controller and only node, with all its CPUs and memory. The
  # connections to slurmdbd take their munge socket from AccountingStoragePass, not AuthInfo.
  # proctrack/linuxproc needs no cgroups; task/affinity binds each step to its CPUs, so a program
  # sees in its affinity mask the CPUs its job asked for.
  local cpus mem
  cpus=$(nproc)
  mem=$(free -m | awk '/^Mem:/ {print $2}')
  cat > "$SLURM_CONF" <<CONF
ClusterName=$CLUSTER
SlurmctldHost=$host
SlurmctldPort=$PORT
SlurmdPort=$((PORT + 1))
$auth
SlurmUser=root
SlurmdUser=root
StateSaveLocation=$DIR/ctld
SlurmdSpoolDir=$DIR/spool
SlurmctldPidFile=$DIR/slurmctld.pid
SlurmdPidFile=$DIR/slurmd.pid
SlurmctldLogFile=$DIR/log/slurmctld.log
SlurmdLogFile=$DIR/log/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/affinity
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU_Memory
AccountingStorageType=accounting_storage/slurmdbd
AccountingStorageHost=$host
AccountingStoragePort=$((PORT + 2))
AccountingStoragePass=$sock
JobAcctGatherType=jobacct_gather/linux
ReturnToService=2
MpiDefault=none
NodeName=$host NodeAddr=127.0.0.1 CPUs=$cpus RealMemory=$mem State=UNKNOWN
PartitionName=$PARTITION Nodes=$host Default=YES MaxTime=INFINITE State=UP
CONF

  slurmdbd < /dev/null >> "$DIR/log/daemons.log" 2>&1
  record_pid slurmdbd "$DIR/slurmdbd.pid"
  wait_for 60 "slurmdbd to listen" listening $((PORT + 2))

  say "slurmctld, slurmd"
  slurmctld < /dev/null >> "$DIR/log/daemons.log" 2>&1
  record_pid slurmctld "$DIR/slurmctld.pid"
  slurmd < /dev/null >> "$DIR/log/daemons.log" 2>&1
  record_pid slurmd "$DIR/slurmd.pid"

  # 5. Accounting: the cluster, an account, and the users in it.
  say "accounts"
  sacctmgr -i add cluster "$CLUSTER" >/dev/null || true  # slurmctld may have added it
  sacctmgr -i add account "$ACCOUNT" Description=driftsim Organization=driftsim >/dev/null
  local u
  for u in $(printf '%s\n' root "$user" | sort -u); do
    sacctmgr -i add user "$u" Account="$ACCOUNT" DefaultAccount="$ACCOUNT" >/dev/null
  done
  sacctmgr -n -P list associations cluster="$CLUSTER" account="$ACCOUNT" user="$user" format=user |
    grep -qx "$user" || die "no association for $user in account $ACCOUNT"

  wait_for 120 "node $host to be idle" sh -c "sinfo -h -n '$host' -o %T | grep -qx idle"
  trap - EXIT
  say "cluster $CLUSTER up: $cpus CPUs, $mem MB; SLURM_CONF=$SLURM_CONF"
  echo "$DIR"
}

# is_daemon NAME PID: PID runs the daemon recorded as NAME (PIDs are reused).
is_daemon() {
  local comm
  comm=$(cat "/proc/$2/comm" 2>/dev/null) || return 1
  case "$1:$comm" in
    mysqld:mariadbd | mysqld:mysqld) return 0 ;;
    *) [ "$1" = "$comm" ] ;;
  esac
}

# Ends the daemons listed in DIR/pids, last started first, each by its PID; fails if one stays.
stop() {
  local dir=$1
  [ -f "$dir/pids" ] || die "$dir is not a cluster folder (no pids file)"
  export SLURM_CONF="$dir/slurm.conf"
  # Jobs still queued or running would leave slurmstepd processes behind.
  if grep -q '^slurmd ' "$dir/pids" && [ -n "$(squeue -h -o %i 2>/dev/null)" ]; then
    squeue -h -o %i | xargs scancel 2>/dev/null || true
    wait_for 30 "cancelled jobs to end" sh -c '[ -z "$(squeue -h -o %i)" ]' || true
  fi
  local lines i name pid n left=()
  mapfile -t lines < "$dir/pids"
  for ((i = ${#lines[@]} - 1; i >= 0; i--)); do
    read -r name pid <<< "${lines[i]}"
    is_daemon "$name" "$pid" || continue
    # mysqld_safe ends by itself once mysqld has shut down cleanly; it is checked all the same.
    kill -TERM "$pid" 2>/dev/null || continue
    n=0
    while is_daemon "$name" "$pid" && [ $n -lt 60 ]; do
      sleep 0.5
      n=$((n + 1))
    done
    if is_daemon "$name" "$pid"; then
      say "$name ($pid) ignored SIGTERM for 30 s: SIGKILL"
      kill -KILL "$pid" 2>/dev/null || true
      sleep 1
    fi
    if is_daemon "$name" "$pid"; then left+=("$name $pid"); fi
  done
  if [ ${#left[@]} -gt 0 ]; then
    say "still running: ${left[*]}; kept $dir"
    return 1
  fi
  if [ -n "${KEEP_SLURM_DIR:-}" ]; then
    say "stopped all ${#lines[@]} daemons; kept $dir"
  else
    rm -rf "$dir"
    say "stopped all ${#lines[@]} daemons; removed $dir"
  fi
}

run() {
  [ $# -gt 0 ] || die "run needs a command"
  local status=0
  RUN_DIR=$(start)
  # A daemon left running fails the run, whatever the command did.
  trap 'stop "$RUN_DIR" || exit 1' EXIT
  # The command runs in the background so that a signal to this script reaches it at once (bash
  # runs traps only between commands); once it has ended, the cluster stops as usual.
  SLURM_CONF="$RUN_DIR/slurm.conf" "$@" <&0 &
  RUN_PID=$!
  trap 'kill -TERM "$RUN_PID" 2>/dev/null' TERM
  trap 'kill -INT "$RUN_PID" 2>/dev/null' INT
  while :; do
    status=0
    wait "$RUN_PID" || status=$?
    kill -0 "$RUN_PID" 2>/dev/null || break  # else wait was cut short by a signal
  done
  [ $status = 0 ] || show_logs "$RUN_DIR"
  return $status
}

case "${1:-}" in
  start) start ;;
  stop)
    [ $# = 2 ] || die "usage: slurm_cluster.sh stop DIR"
    stop "$2"
    ;;
  run)
    shift
    run "$@"
    ;;
  *)
    sed -n '2,/^set -e/p' "$0" | sed '$d; s/^# \{0,1\}//' >&2
    exit 2
    ;;
esac
