#!/usr/bin/env bash
# stage.sh NAME COMMAND...: runs one stage of `make test`, prints its output with a header
# and its wall time, and records "NAME SECONDS STATUS" in build/stages.txt for the summary.
set -uo pipefail
cd "$(dirname "$0")/.."
name=$1
shift
mkdir -p build
echo "== [$name] started $(date +%T)"
start=$SECONDS
"$@"
status=$?
took=$((SECONDS - start))
echo "$name $took $([ $status -eq 0 ] && echo ok || echo "FAILED($status)")" >>build/stages.txt
echo "== [$name] $([ $status -eq 0 ] && echo done || echo "FAILED (exit $status)") in ${took}s"
exit $status
