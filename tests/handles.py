"""What the process holds open, seen from /proc: capture files and packet sockets."""

import os


def _descriptor_targets() -> list[str]:
    targets = []
    for fd in os.listdir("/proc/self/fd"):
        try:
            targets.append(os.readlink(f"/proc/self/fd/{fd}"))
        except OSError:  # the descriptor listdir itself used, already closed
            pass
    return targets


def open_count(path: bytes | str) -> int:
    """How many descriptors of this process are open on the file `path`."""
    target = os.path.realpath(os.fsdecode(path))
    return _descriptor_targets().count(target)


def packet_socket_count() -> int:
    """How many packet sockets (live capture handles) this process holds open."""
    with open("/proc/net/packet") as table:
        lines = table.read().splitlines()
    inode_column = lines[0].split().index("Inode")
    packet_inodes = {line.split()[inode_column] for line in lines[1:]}
    ours = {target[len("socket:["):-1] for target in _descriptor_targets() if target.startswith("socket:[")}
    return len(ours & packet_inodes)
