"""Quick start: bring up the local trading core, import the state layer, and show
what the environment reports after the start-up handshake.

    python examples/quickstart.py

A core already listening on 127.0.0.1:3293 (python -m vornix.core) is used as it
is; otherwise one is started inside this process.
"""

import socket

from vornix.core import CoreServer


def core_is_listening(port=3293):
    with socket.socket() as s:
        s.settimeout(0.5)
        return s.connect_ex(("127.0.0.1", port)) == 0


def main():
    core = None if core_is_listening() else CoreServer(port=3293).start()
    try:
        from vornix.tframe import sysstate
        from vornix.tframe.comm import vxcmd

        env, vr = sysstate.env, sysstate.vr
        # the first command brings the connection up; the handshake and the
        # cache-directory query run before it
        vxcmd.command_client().request("Ping")
        info = env.more_info()
        print("trading core version  :", info["vxcore_version"])
        print("core supports vornix  :", ", ".join(info["vxcore_support"]))
        print("vornix version        :", info["vornix_version"])
        print("vornix supports cores :", ", ".join(info["vornix_support"]))
        print("output root           :", env.root_sub_dir())
        print("matrix cache          :", env.root_sub_dir("mat"))
        print("targets registered    :", env.target_idx_count)
        print("main time line steps  :", env.fresh_bar_timeline.size)
        print("bar clock             :", env.fresh_bar_num)
        env.vx_disconnect_to()
        assert vr.g_VornixCache.allow_comm_vx
    finally:
        if core is not None:
            core.stop()


if __name__ == "__main__":
    main()
