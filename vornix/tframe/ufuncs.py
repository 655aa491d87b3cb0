"""Small shared functions: target code conversion and the on-disk matrix cache."""

import hashlib
import json
import os

import numpy as np

from vornix.setting import get_setting
from vornix.tframe.utils.datetimefunc import today_int


def _one_dotmc(target):
    if isinstance(target, dict):
        try:
            market, code = target["Market"], target["Code"]
        except KeyError:
            raise ValueError(
                "a target given as a mapping needs the keys 'Market' and 'Code', got %r" % (target,)
            ) from None
        return ("%s.%s" % (market, code)).upper()
    if isinstance(target, str):
        parts = target.strip().split(".")
        if len(parts) != 2 or not parts[0] or not parts[1]:
            raise ValueError("a target code must look like MARKET.CODE, got %r" % (target,))
        return target.strip().upper()
    raise TypeError(
        "a target is a 'MARKET.CODE' text or a mapping with 'Market' and 'Code', got %r" % (target,)
    )


def todotmc(targets):
    """Dotted upper-case market code of a target, or a list of them for a list.

    A target is either a text "MARKET.CODE" or a mapping with the keys "Market"
    and "Code" (the form held in StrategyItem.TargetList).
    """
    if isinstance(targets, (list, tuple, np.ndarray)):
        return [_one_dotmc(t) for t in targets]
    return _one_dotmc(targets)
