#!/bin/sh
# A simulated LAN of network namespaces for the end-to-end tests: three hosts (or up to six) on one
# bridge.
#
#   lanns.sh up PREFIX [N]  makes the namespaces PREFIX-br (the bridge), PREFIX-con (console,
#                           10.77.0.1/24), PREFIX-a (agent A, 10.77.0.2/24, plus a second interface
#                           aux0 172.31.77.2/24 made before its LAN interface) and PREFIX-b (agent B,
#                           10.77.0.3/24); with N agent hosts (2 to 5) also PREFIX-c, -d and -e
#                           (10.77.0.4-6/24, tovia-pc-c to -e) as far as N reaches. Every host has
#                           lo up and a default route on its LAN interface, so that a broadcast to
#                           255.255.255.255 leaves through it.
#                           Exit 3: namespaces cannot be made here (no privilege); other non-zero
#                           exits are real faults. Whatever was made is removed again on failure.
#                           Host names: tovia-con, tovia-pc-a, tovia-pc-b. Each host has a hosts
#                           file of its own (/etc/netns/NS/hosts, which "ip netns exec" puts in
#                           place of /etc/hosts); agent A's resolves its name to the second
#                           interface first, as a PC with a virtual adapter may.
#   lanns.sh down PREFIX    kills every process left in those namespaces and deletes them.
#   lanns.sh reap STEM      "down" for every namespace PREFIX-* with PREFIX = STEM-<pid> whose
#                           process <pid> is gone (left behind by a killed test run).
#   lanns.sh run NS CMD...  runs CMD in namespace NS (PREFIX-con, -a or -b) with an IPC and UTS
#                           namespace of its own and the host's name; the process of CMD keeps this
#                           call's pid and is killed when the caller dies.
#   lanns.sh spawn NS CMD...  "run", but CMD outlives the caller (for programs left running, as by
#                           scripts/demo).
#
# Nothing is made outside the namespaces: the veth pairs are created inside the bridge namespace,
# so no interface ever appears in the caller's namespace and no traffic leaves the simulated LAN.
set -u
PATH=/usr/sbin:/sbin:/usr/bin:/bin:$PATH

HOSTS="con a b"
ALL_HOSTS="con a b c d e"

addr_of() {
    case "$1" in
    con) echo 10.77.0.1/24 ;;
    a) echo 10.77.0.2/24 ;;
    b) echo 10.77.0.3/24 ;;
    c) echo 10.77.0.4/24 ;;
    d) echo 10.77.0.5/24 ;;
    e) echo 10.77.0.6/24 ;;
    esac
}

name_of() {
    case "$1" in
    con) echo tovia-con ;;
    a) echo tovia-pc-a ;;
    b) echo tovia-pc-b ;;
    c) echo tovia-pc-c ;;
    d) echo tovia-pc-d ;;
    e) echo tovia-pc-e ;;
    esac
}

fail() {
    echo "lanns: $*" >&2
    exit 1
}

ns_down() {
    prefix=$1
    for ns in "$prefix-con" "$prefix-a" "$prefix-b" "$prefix-c" "$prefix-d" "$prefix-e" "$prefix-br"; do
        ip netns list 2>/dev/null | grep -q "^$ns\( \|$\)" || continue
        pids=$(ip netns pids "$ns" 2>/dev/null)
        [ -n "$pids" ] && kill -9 $pids 2>/dev/null
        ip netns del "$ns" 2>/dev/null
    done
    for h in $ALL_HOSTS; do
        rm -rf "/etc/netns/$prefix-$h"
    done
    return 0
}

ns_up() {
    prefix=$1
    br="$prefix-br"
    if ! ip netns add "$br" 2>/dev/null; then
        echo "lanns: 'ip netns add' is refused here (needs CAP_SYS_ADMIN)" >&2
        exit 3
    fi
    trap 'ns_down "$prefix"' EXIT
    for h in $HOSTS; do
        ip netns add "$prefix-$h" || fail "ip netns add $prefix-$h"
    done
    ip -n "$br" link set lo up || fail "lo up in $br"
    ip -n "$br" link add br0 type bridge || fail "bridge in $br"
    ip -n "$br" link set br0 up || fail "bridge up"
    for h in $HOSTS; do
        ns="$prefix-$h"
        ip -n "$ns" link set lo up || fail "lo up in $ns"
        if [ "$h" = a ]; then
            # A second address, made first, so that "the first address of the host" is not the one
            # facing the console. A dummy interface where the kernel has them, else a veth pair
            # with both ends in the host.
            if ! ip -n "$ns" link add aux0 type dummy 2>/dev/null; then
                ip -n "$ns" link add aux0 type veth peer name aux1 || fail "second interface in $ns"
                ip -n "$ns" link set aux1 up || fail "aux1 up in $ns"
            fi
            ip -n "$ns" addr add 172.31.77.2/24 dev aux0 || fail "second address in $ns"
            ip -n "$ns" link set aux0 up || fail "aux0 up in $ns"
        fi
        ip -n "$br" link add "p-$h" type veth peer name lan0 netns "$ns" || fail "veth to $ns"
        ip -n "$br" link set "p-$h" master br0 || fail "veth of $ns on the bridge"
        ip -n "$br" link set "p-$h" up || fail "bridge port of $ns up"
        ip -n "$ns" addr add "$(addr_of "$h")" dev lan0 || fail "address in $ns"
        ip -n "$ns" link set lan0 up || fail "lan0 up in $ns"
        ip -n "$ns" route add default dev lan0 || fail "default route in $ns"
        mkdir -p "/etc/netns/$ns" || fail "/etc/netns/$ns"
        {
            echo "127.0.0.1 localhost"
            [ "$h" = a ] && echo "172.31.77.2 $(name_of "$h")"
            echo "$(addr_of "$h" | cut -d/ -f1) $(name_of "$h")"
        } >"/etc/netns/$ns/hosts" || fail "hosts file of $ns"
    done
    trap - EXIT
}

ns_reap() {
    stem=$1
    # A run killed half-way through "down" may have left only the hosts files.
    for ns in $( (ip netns list 2>/dev/null | cut -d' ' -f1; ls /etc/netns 2>/dev/null) |
        grep "^$stem-[0-9]*-\(br\|con\|a\|b\|c\|d\|e\)$" | sort -u); do
        prefix=${ns%-*}
        pid=${prefix#"$stem"-}
        [ -d "/proc/$pid" ] || ns_down "$prefix"
    done
    return 0
}

[ $# -ge 1 ] || fail "usage: lanns.sh up|down|reap PREFIX | run|spawn NS CMD..."
case "$1" in
up)
    [ $# -eq 2 ] || [ $# -eq 3 ] || fail "usage: lanns.sh up PREFIX [AGENT_HOSTS]"
    case "${3:-2}" in
    2) ;;
    3) HOSTS="con a b c" ;;
    4) HOSTS="con a b c d" ;;
    5) HOSTS="con a b c d e" ;;
    *) fail "agent hosts: 2 to 5" ;;
    esac
    ns_up "$2"
    ;;
down)
    [ $# -eq 2 ] || fail "usage: lanns.sh down PREFIX"
    ns_down "$2"
    ;;
reap)
    [ $# -eq 2 ] || fail "usage: lanns.sh reap STEM"
    ns_reap "$2"
    ;;
run | spawn)
    [ $# -ge 3 ] || fail "usage: lanns.sh $1 NS CMD..."
    mode=$1
    ns=$2
    host=$(name_of "${ns##*-}")
    [ -n "$host" ] || fail "not a host of the LAN: $ns"
    shift 2
    # "run": killed with its parent (the test), even when the test itself is killed.
    if [ "$mode" = run ] && command -v setpriv >/dev/null 2>&1; then
        exec setpriv --pdeathsig KILL ip netns exec "$ns" unshare --ipc --uts -- /bin/sh "$0" _host "$host" "$@"
    fi
    exec ip netns exec "$ns" unshare --ipc --uts -- /bin/sh "$0" _host "$host" "$@"
    ;;
_host)
    hostname "$2" || fail "hostname $2"
    shift 2
    exec "$@"
    ;;
*)
    fail "unknown command $1"
    ;;
esac
