#!/usr/bin/env bash
# Builds Brindlecove::ProcessPool and runs its whole suite (./test.sh, the
# README's test command) on each perl the module supports:
#
#   bullseye       Debian 11, perl 5.32 (the oldest supported)
#   bookworm       Debian 12, perl 5.36
#   trixie         Debian 13, perl 5.40
#   bookworm-i386  Debian 12 i386: 32-bit pointers, 64-bit integers
#   debugperl      the host's debugperl (Debian's perl-debug: perl built
#                  with DEBUGGING, whose assertions check XS code), with
#                  the module built -DDEBUGGING too
#
#   tools/perls.sh                     # all five
#   tools/perls.sh bullseye debugperl  # chosen ones
#
# The Debian perls run in chroots made with debootstrap and cached in
# $PERLS_CACHE (default /var/cache/procpool-perls, outside the work tree).
# A cached chroot is checked before each use (perl, its headers, g++ and
# make must run in it) and made again when it is absent or broken.  Each
# run copies the tree (the files git knows, tracked or new, as they are in
# the work tree; or the whole tree less build products without git) into
# a folder of its own inside the chroot, mounts /proc there for the tests
# that read it, and removes both on every way out.
#
# The i386 chroot needs the kernel to run 32-bit programs.  Where it does
# not (a kernel without, or with disabled, ia32 emulation) the script
# installs qemu-user-static and registers it for i386 programs with
# binfmt_misc (entry "procpool-i386"; left registered for later runs).
#
# Output: one line per perl (version, architecture, result, test counts,
# time), then "perls: N passed, N failed".  Each run's full log is kept
# in $PERLS_LOG_DIR (default $PERLS_CACHE/logs/<UTC time>), named on its
# line.  Exit status: 0 when every chosen perl passed, 1 when any failed,
# 2 when the script cannot run at all (not root, unknown name).
#
# Environment: PERLS_CACHE, PERLS_LOG_DIR, PERLS_MIRROR (Debian mirror),
# PERLS_TIMEOUT (seconds for one perl's build and suite, default 1500),
# PERLS_JOBS (perls run at once, default 2).  PROCPOOL_* variables (the
# stress tests' scales) are passed into every run.
set -uo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
[ -f "$root/test.sh" ] && [ -f "$root/ProcessPool/Makefile.PL" ] ||
    { echo "perls.sh: $root is not the module's repository (run tools/perls.sh from it)" >&2; exit 2; }
cache=${PERLS_CACHE:-/var/cache/procpool-perls}
mirror=${PERLS_MIRROR:-http://deb.debian.org/debian}
limit=${PERLS_TIMEOUT:-1500}
jobs=${PERLS_JOBS:-2}
logdir=${PERLS_LOG_DIR:-$cache/logs/$(date -u +%Y%m%d-%H%M%S)}
all=(bookworm-i386 bullseye bookworm trixie debugperl)

say() { echo "perls.sh: $*"; }
die() { echo "perls.sh: $*" >&2; exit 2; }

[ "$(id -u)" = 0 ] || die "needs root (debootstrap, chroot, mount)"
names=("$@")
[ ${#names[@]} -gt 0 ] || names=("${all[@]}")
for n in "${names[@]}"; do
    case " ${all[*]} " in *" $n "*) ;; *) die "unknown perl '$n' (one of: ${all[*]})";; esac
done

# suite, architecture and description of each chroot
target() {
    case $1 in
        bullseye)      echo "bullseye amd64 Debian 11 bullseye" ;;
        bookworm)      echo "bookworm amd64 Debian 12 bookworm" ;;
        trixie)        echo "trixie amd64 Debian 13 trixie" ;;
        bookworm-i386) echo "bookworm i386 Debian 12 bookworm i386" ;;
    esac
}

mkdir -p "$cache" "$logdir" || die "cannot make $cache or $logdir"
work=$(mktemp -d /tmp/procpool-perls.XXXXXX) || die "mktemp failed"

# ---------------------------------------------------------------------------
# Cleanup, on every exit path: each job notes in $work/NAME.made what it
# made ("mount POINT COPY" for a chroot's /proc, "copy DIR" for a copy of
# the tree) and undoes it itself; what an interrupted job left is undone
# here.

cleanup() {
    local f kind a b pids
    pids=$(jobs -p)
    [ -n "$pids" ] && kill $pids 2>/dev/null
    for f in "$work"/*.made; do
        [ -f "$f" ] || continue
        while read -r kind a b; do
            case $kind in
                mount) kill_inside "$b"; umount "$a" 2>/dev/null || umount -l "$a" 2>/dev/null ;;
                copy)  kill_inside "$a"; rm -rf "$a" ;;
            esac
        done < "$f"
    done
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# Kills what is left of a run: every process whose working folder is in
# the run's copy of the tree (the tests and their workers all run there).
kill_inside() {
    local copy=$1 p cwd found
    for _ in 1 2 3 4 5; do
        found=0
        for p in /proc/[0-9]*; do
            cwd=$(readlink "$p/cwd" 2>/dev/null) || continue
            case $cwd in
                "$copy"|"$copy"/*) kill -KILL "${p#/proc/}" 2>/dev/null && found=1 ;;
            esac
        done
        [ $found = 0 ] && return 0
        sleep 1
    done
}

# ---------------------------------------------------------------------------
# The source copy: one tar of the tree, unpacked for each run.

src_tar=$work/src.tar
if git -C "$root" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    ( cd "$root" && git ls-files -z --cached --others --exclude-standard |
        while IFS= read -r -d '' f; do [ -e "$f" ] && printf '%s\0' "$f"; done |
        tar --null -T - -cf "$src_tar" ) || die "cannot pack the tree"
    src_desc="git $(git -C "$root" rev-parse --short HEAD)$(git -C "$root" diff --quiet HEAD 2>/dev/null || echo '+changes')"
else
    tar -C "$root" --exclude=.git --exclude='ProcessPool/build-*' --exclude=ProcessPool/blib \
        --exclude='*.o' --exclude=ProcessPool/Makefile --exclude=ProcessPool/Makefile.old \
        --exclude='ProcessPool/MYMETA.*' --exclude=ProcessPool/pm_to_blib \
        --exclude=ProcessPool/ProcessPool.c --exclude=ProcessPool/ProcessPool.bs \
        --exclude=ProcessPool/fuzz/kv_fuzz --exclude=ProcessPool/fuzz/corpus \
        -cf "$src_tar" . || die "cannot pack the tree"
    src_desc="$root (no git)"
fi

# ---------------------------------------------------------------------------
# Chroots.

need_pkg() {  # command package
    command -v "$1" >/dev/null && return 0
    flock "$cache/.apt.lock" sh -c "command -v '$1' >/dev/null ||
        { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq '$2'; }" >/dev/null 2>&1
    command -v "$1" >/dev/null
}

# Can this machine run i386 programs?  If not, through qemu-user.
i386_runs() {
    if command -v arch-test >/dev/null; then arch-test i386 >/dev/null 2>&1; return; fi
    [ -x "$cache/bookworm-i386/bin/true" ] && chroot "$cache/bookworm-i386" /bin/true 2>/dev/null
}
ensure_i386() {
    need_pkg arch-test arch-test
    i386_runs && return 0
    need_pkg qemu-i386-static qemu-user-static || { echo "qemu-user-static cannot be installed"; return 1; }
    local bm=/proc/sys/fs/binfmt_misc
    [ -e $bm/register ] || mount -t binfmt_misc binfmt_misc $bm || { echo "cannot mount binfmt_misc"; return 1; }
    if [ ! -e $bm/procpool-i386 ]; then
        # ELF 32-bit little-endian, machine 3 (i386); F: the interpreter is
        # opened now, so it works inside chroots that do not have it
        printf '%s' ':procpool-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:'"$(command -v qemu-i386-static)"':F' \
            > $bm/register 2>/dev/null || [ -e $bm/procpool-i386 ] ||
            { echo "cannot register qemu-i386 with binfmt_misc"; return 1; }
    fi
    i386_runs || { echo "i386 programs do not run, even through qemu"; return 1; }
}
# Are i386 programs run by qemu (a binfmt_misc entry of ours or another)?
i386_emulated() {
    local e
    for e in /proc/sys/fs/binfmt_misc/*; do
        [ -f "$e" ] && grep -qs '^enabled' "$e" && grep -qs '^interpreter .*qemu-i386' "$e" && return 0
    done
    return 1
}

# A chroot is usable when its perl, its perl's headers, g++ and make work.
chroot_ok() {
    local dir=$1
    [ -f "$dir/.procpool-perls" ] || return 1
    chroot "$dir" /bin/sh -c \
        'perl -MConfig -e "-f qq{\$Config{archlibexp}/CORE/perl.h} or exit 1" && g++ --version && make --version' \
        >/dev/null 2>&1
}

# Makes (or checks) the chroot; its output goes to the job's log.
ensure_chroot() {
    local name=$1 suite=$2 arch=$3 dir=$cache/$1
    chroot_ok "$dir" && return 0
    need_pkg debootstrap debootstrap || { echo "debootstrap cannot be installed"; return 1; }
    echo "== making the $name chroot ($suite, $arch) in $dir"
    rm -rf "$dir" "$dir.new"
    debootstrap --arch="$arch" --variant=minbase --include=perl,libperl-dev,g++,make \
        "$suite" "$dir.new" "$mirror" || { echo "debootstrap failed"; rm -rf "$dir.new"; return 1; }
    echo "$suite $arch $(date -u +%FT%TZ)" > "$dir.new/.procpool-perls"
    mv "$dir.new" "$dir"
    chroot_ok "$dir" || { echo "the new chroot does not work"; return 1; }
}

# ---------------------------------------------------------------------------
# One perl: build and suite, result in $work/NAME.result as
#   "<status> <seconds>\t<perl version and architecture>\t<summary>"

env_pass=()
while IFS= read -r v; do env_pass+=("$v"); done < <(env | grep '^PROCPOOL_[A-Z_]*=' || true)

summarize() {  # log -> "Files=.., Tests=.." or the failed programs
    perl -ne '
        $files = $1 if /^(Files=\d+, Tests=\d+)/;
        push @bad, $1 if /^(t\/\S+\.t)\s+\(Wstat/;
        $res = $1 if /^Result: (\S+)/;
        $last = $_ if /\S/ && !/^== /;
        END {
            chomp $last if defined $last;
            my $s = $files // "no test summary; last: " . substr($last // "", 0, 100);
            $s .= "; failed: @bad" if @bad;
            print $s;
        }' "$1"
}

run_one() {
    local name=$1 log=$logdir/$1.log start secs rc=0 version="?" status
    start=$(date +%s)
    {
        echo "== $name, source $src_desc, $(date -u +%FT%TZ)"
        if [ "$name" = debugperl ]; then
            run_debugperl; rc=$?
        else
            run_chroot "$name"; rc=$?
        fi
        echo "== exit $rc"
    } > "$log" 2>&1
    version=$(sed -n 's/^== perl: //p' "$log" | head -1)
    secs=$(( $(date +%s) - start ))
    case $rc in
        0)   status=PASS ;;
        124|137) status=TIMEOUT ;;
        *)   status=FAIL ;;
    esac
    printf '%s %s\t%s\t%s\n' "$status" "$secs" "${version:-perl not reached}" "$(summarize "$log")" \
        > "$work/$name.result"
}

# Runs ./test.sh under a time bound, killing the whole process group on
# expiry (timeout's default), and reports timeout's status.
bounded() { timeout -k 20 "$limit" "$@"; }

run_chroot() {
    local name=$1 suite arch desc dir copy rc made=$work/$1.made
    read -r suite arch desc <<<"$(target "$name")"
    dir=$cache/$name
    if [ "$arch" = i386 ]; then ensure_i386 || return 1; fi
    # Runs share a working chroot (shared lock); making one takes the
    # exclusive lock, which waits for the runs using the old one to end.
    exec 9>"$cache/$name.lock"
    flock -s 9
    if ! chroot_ok "$dir"; then
        flock 9
        ensure_chroot "$name" "$suite" "$arch" || return 1
        flock -s 9
    fi
    echo "== perl: $(chroot "$dir" perl -MConfig -e 'printf "%vd %s", $^V, $Config{archname}') ($desc)"
    copy=/build/procpool.$$.$name
    echo "copy $dir$copy" >> "$made"
    mkdir -p "$dir$copy" && tar -C "$dir$copy" -xf "$src_tar" || return 1
    mkdir -p "$dir/proc"
    mount -t proc proc "$dir/proc" || { echo "cannot mount /proc in $dir"; return 1; }
    echo "mount $dir/proc $dir$copy" >> "$made"
    # under emulation the tests cut their largest inputs down, as for valgrind
    local emu=()
    if [ "$arch" = i386 ] && i386_emulated; then
        emu=(PROCPOOL_EMULATED=1)
        echo "== i386 programs run under qemu: PROCPOOL_EMULATED=1"
    fi
    # HARNESS_TIMER: each test file's time in the log; MAKEFLAGS: the
    # build on both cores (it is most of an emulated run's time)
    bounded chroot "$dir" /usr/bin/env -i PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin \
        HOME=/root LC_ALL=C HARNESS_TIMER=1 MAKEFLAGS=-j2 "${env_pass[@]}" "${emu[@]}" \
        /bin/sh -c "cd '$copy' && ./test.sh"
    rc=$?
    kill_inside "$dir$copy"
    umount "$dir/proc" 2>/dev/null || umount -l "$dir/proc"
    rm -rf "$dir$copy"
    : > "$made"
    return $rc
}

run_debugperl() {
    local copy=$work/debugperl-src shim=$work/debugperl-bin rc made=$work/debugperl.made
    command -v debugperl >/dev/null || need_pkg debugperl perl-debug ||
        { echo "debugperl (perl-debug) cannot be installed"; return 1; }
    echo "copy $copy" >> "$made"
    mkdir -p "$copy" "$shim" && tar -C "$copy" -xf "$src_tar" || return 1
    # test.sh and the tests run "perl": make that the debugging one
    ln -sf "$(command -v debugperl)" "$shim/perl"
    echo "== perl: $("$shim/perl" -MConfig -e 'printf "%vd %s", $^V, $Config{archname}') (host debugperl, DEBUGGING)"
    "$shim/perl" -MConfig -e 'exit !grep { $_ eq "DEBUGGING" } Config::non_bincompat_options()' ||
        { echo "debugperl is not a DEBUGGING build"; return 1; }
    ( cd "$copy" && PATH=$shim:$PATH PROCPOOL_EXTRA_CFLAGS="-DDEBUGGING ${PROCPOOL_EXTRA_CFLAGS:-}" \
        HARNESS_TIMER=1 MAKEFLAGS=-j2 bounded ./test.sh )
    rc=$?
    kill_inside "$copy"
    # test.sh keeps the build quiet: show that it was a DEBUGGING build
    local flags
    flags=$(sed -n 's/^CCFLAGS = //p' "$copy/ProcessPool/Makefile" 2>/dev/null)
    echo "== module CCFLAGS: $flags"
    case " $flags " in *" -DDEBUGGING "*) ;; *) echo "== the module was not built with -DDEBUGGING"; rc=1 ;; esac
    rm -rf "$copy"
    : > "$made"
    return $rc
}

# ---------------------------------------------------------------------------

# The whole run is one function, read before it starts: editing this file
# while it runs cannot change what it does.
main() {
    say "source: $src_desc; chroots in $cache; logs in $logdir; $jobs at once"
    t0=$(date +%s)
    running=0
    for name in "${names[@]}"; do
        if [ "$running" -ge "$jobs" ]; then wait -n; running=$((running - 1)); fi
        run_one "$name" &
        running=$((running + 1))
    done
    wait

    passed=0 failed=0
    for name in "${names[@]}"; do
        if [ -f "$work/$name.result" ]; then
            IFS=$'\t' read -r head version summary < "$work/$name.result"
            read -r status secs <<<"$head"
        else
            status=FAIL secs=? version="no result" summary=""
        fi
        [ "$status" = PASS ] && passed=$((passed + 1)) || failed=$((failed + 1))
        printf 'perls.sh: %-13s %-7s %5ss  %s  %s  (log %s)\n' "$name" "$status" "$secs" "$version" "$summary" "$logdir/$name.log"
    done
    say "$(( $(date +%s) - t0 ))s in all"
    echo "perls: $passed passed, $failed failed"
    [ "$failed" -eq 0 ]
}
main
exit
