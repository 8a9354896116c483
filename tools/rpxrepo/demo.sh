#!/usr/bin/env bash
# The main job: rpxrepo on an embedded SQLite repository in a fresh folder. Backs up a real tree,
# changes a few files, backs up again, shows a changed file's versions, restores the first backup
# and compares it byte for byte, then plans a purge that keeps one version.
set -euo pipefail
RPXREPO=${1:?usage: demo.sh path/to/rpxrepo}
WORK=$(mktemp -d /tmp/rpxrepo-demo.XXXXXX)
trap 'rm -rf "$WORK"' EXIT
R() { echo "\$ rpxrepo $*" >&2; "$RPXREPO" --config-root "$WORK/config" "$@"; }
step() { printf '\n== %s\n' "$*"; }

step "a source tree of $(date -u +%F) in $WORK/source"
mkdir -p "$WORK/source/docs/reports" "$WORK/source/photos" "$WORK/source/src"
for i in $(seq 1 20); do head -c $((i * 997)) /dev/urandom > "$WORK/source/photos/img_$i.raw"; done
for i in $(seq 1 10); do printf 'report %d\n' "$i" > "$WORK/source/docs/reports/r$i.txt"; done
printf 'int main() { return 0; }\n' > "$WORK/source/src/main.c"
printf 'quotes '"'"' and 50%%_off\n' > "$WORK/source/docs/it's 50%_off.txt"
cp -r "$WORK/source" "$WORK/source-at-first-backup"

step "first backup"
R backup "$WORK/source" --to "$WORK/storage" --prefix demo
FIRST=$(date -u +%Y-%m-%dT%H:%M:%S)
sleep 1  # the catalog keeps whole seconds: later changes must fall in a later second

step "change three files, delete one, add one"
printf 'report 1, revised\n' > "$WORK/source/docs/reports/r1.txt"
head -c 5000 /dev/urandom >> "$WORK/source/photos/img_3.raw"
printf 'int main() { return 1; }\n' > "$WORK/source/src/main.c"
rm "$WORK/source/docs/reports/r10.txt"
mkdir -p "$WORK/source/src/lib" && printf 'new\n' > "$WORK/source/src/lib/new.c"

step "second backup (only what changed is written)"
R backup "$WORK/source" --to "$WORK/storage" --prefix demo

step "versions of a changed file"
R versions "$WORK/storage" "$WORK/source/docs/reports/r1.txt"

step "browse"
R ls "$WORK/storage" "$WORK/source/docs"

step "restore as of the first backup and compare byte for byte"
R restore "$WORK/storage" "$WORK/source" --at "$FIRST" --into "$WORK/restored"
diff -r "$WORK/source-at-first-backup" "$WORK/restored"
echo "identical: every file of the first backup came back byte for byte"

step "purge plan keeping one version per file (nothing is deleted without --apply)"
R purge "$WORK/storage" --keep 1

step "runs and repository"
R sessions
R info
