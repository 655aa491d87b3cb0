"""Commands to the trading core, sent over the run's command connection."""

import os

from vornix.setting import core_cache_dir, get_setting
from vornix.tframe.comm import protocol
from vornix.tframe.comm.vxclient import ClientSocket
from vornix.tframe.utils.exceptions import VxConnectionError
from vornix.tframe.utils.utilcls import StatusCollect

_fallback = None


def command_client():
    """The run's command connection (the state store's), else a process-wide one."""
    global _fallback
    env = StatusCollect.instance().env
    sock = getattr(getattr(env, "vr", None), "g_VornixSocket", None)
    if sock is not None:
        return sock
    if _fallback is None:
        _fallback = ClientSocket(
            protocol.DEFAULT_HOST,
            protocol.DEFAULT_PORT,
            get_setting("VX_SOCKET_TIMEOUT", 300),
        )
    return _fallback


def vxSendCmdToolboxCheck(toolbox, version, support):
    """Version handshake: returns the core's mapping with "listSupportedToolbox"
    (framework versions it supports) and "wstrCoreVer" (its own version)."""
    result = command_client().request(
        "ToolboxCheck", toolbox=str(toolbox), version=str(version), support=list(support)
    )
    if not isinstance(result, dict):
        raise VxConnectionError("the trading core answered the handshake with %r" % (result,))
    return result


def vxSendCmdGetToolBoxRootofCacheDir():
    """The cache folder of this toolbox, where the run's matrix cache, output and
    logs go: from this process's own settings (VX_CORE_CACHE_DIR, default
    ~/.vornix/cache, then "python"), never from what the core answers."""
    command_client().connect()  # the handshakes come first, as for any command
    path = os.path.join(os.path.abspath(core_cache_dir()), "python")
    os.makedirs(path, exist_ok=True)
    return path


def vxSendCmdGetFactorMultiFilePath(factors, targets, begin_date, end_date, flag=0):
    """One factor file path per factor, in the order of `factors`."""
    factors = list(factors)
    result = command_client().request(
        "GetFactorMultiFilePath",
        factors=factors,
        targets=list(targets),
        begin_date=int(begin_date),
        end_date=int(end_date),
        flag=int(flag),
    )
    if not isinstance(result, list) or len(result) != len(factors) or not all(
        isinstance(p, str) for p in result
    ):
        raise VxConnectionError(
            "the trading core answered the factor-path query for %r with %r" % (factors, result)
        )
    return result
