# Shared by the maintainer scripts (pasted into each when the package is
# built). DPKG_ROOT is set when dpkg works on another root than this
# system's own, from outside it: paths on disk begin with it, and the user
# sessions of this system are none of that root's business.
root_on_disk="${DPKG_ROOT:-}@CVL_PACKAGE_ROOT@"
units="@CVL_PACKAGE_UNITS@"
enabled_units="@CVL_PACKAGE_ENABLED_UNITS@"
framework="@CVL_PACKAGE_ROOT@/@CVL_INSTALL_FRAMEWORK@"

# Runs "systemctl --user ARGS" in the running user manager of every user
# who has one, as that user; prints the user names where it failed.
in_user_managers() {
    [ -z "${DPKG_ROOT:-}" ] || return 0
    command -v systemctl >/dev/null 2>&1 || return 0
    for socket in /run/user/*/systemd/private; do
        [ -S "$socket" ] || continue
        uid=${socket#/run/user/}
        uid=${uid%%/*}
        user=$(getent passwd "$uid" | cut -d: -f1)
        [ -n "$user" ] || continue
        runuser -u "$user" -- env XDG_RUNTIME_DIR="/run/user/$uid" systemctl --user "$@" \
            >/dev/null 2>&1 || echo "$user"
    done
}

# The processes whose program is one of the installation's, one id a line:
# compared by device and inode, so that a program started through a link,
# or in another mount namespace, counts too. A program that an upgrade
# replaced while it ran has an inode that is no longer in the tree: it
# counts when its file, now deleted, was under the installation's path and
# that path, as the process sees it (/proc/PID/root), is this installation.
installation_processes() {
    programs=$(find "$root_on_disk" -type f -perm -u+x -printf '%D:%i\n' 2>/dev/null)
    [ -n "$programs" ] || return 0
    root_id=$(stat -c '%d:%i' "$root_on_disk")
    for exe in /proc/[0-9]*/exe; do
        id=$(stat -L -c '%d:%i' "$exe" 2>/dev/null) || continue
        pid=${exe#/proc/}
        pid=${pid%/exe}
        if printf '%s\n' "$programs" | grep -qx "$id"; then
            echo "$pid"
            continue
        fi
        case $(readlink "$exe" 2>/dev/null) in
        "@CVL_PACKAGE_ROOT@"/*" (deleted)")
            seen=$(stat -L -c '%d:%i' "/proc/$pid/root@CVL_PACKAGE_ROOT@" 2>/dev/null) || continue
            if [ "$seen" = "$root_id" ]; then
                echo "$pid"
            fi
            ;;
        esac
    done
}

# Stops the user units in every running user manager, then ends with
# SIGTERM whatever still runs from the installation (started by hand, or
# where a manager could not be reached), waiting up to 20 s for it. Says
# what it could not stop, and how to do it.
stop_corvalink() {
    failed=$(in_user_managers stop $units)
    for user in $failed; do
        echo "corvalink: could not stop the Corvalink services of $user; as $user, run:" >&2
        echo "    systemctl --user stop $units" >&2
    done
    pids=$(installation_processes)
    [ -n "$pids" ] || return 0
    echo "corvalink: ending the Corvalink programs that still run (process $(echo $pids))"
    kill -TERM $pids 2>/dev/null || true
    waited=0
    while [ -n "$pids" ] && [ "$waited" -lt 100 ]; do
        sleep 0.2
        waited=$((waited + 1))
        pids=$(installation_processes)
    done
    for pid in $pids; do
        echo "corvalink: process $pid ($(cat "/proc/$pid/comm" 2>/dev/null)) still runs from the removed files; end it with: kill $pid" >&2
    done
}
