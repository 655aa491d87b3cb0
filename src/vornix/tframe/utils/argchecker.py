"""Checks of user-supplied arguments and callbacks."""

import inspect

import numpy as np


class ArgumentChecker:
    @staticmethod
    def check_ndarray_idx(func_name, arg_name, bounds, allow_nan=False):
        """Check an index array against the half-open range [low, high).

        `bounds` is the triple (array, low, high).  Raises TypeError for a
        non-numeric array, ValueError for NaN (unless allowed) or a fractional
        index, IndexError for an index outside the range.  Returns the array.
        """
        arr, low, high = bounds
        arr = np.asarray(arr)
        if arr.dtype.kind not in "biuf":
            raise TypeError(
                "%s: %s must hold integer indices, got dtype %s" % (func_name, arg_name, arr.dtype)
            )
        values = arr.ravel()
        if arr.dtype.kind == "f":
            nan = np.isnan(values)
            if nan.any() and not allow_nan:
                raise ValueError("%s: %s must not be NaN, got %r" % (func_name, arg_name, arr.tolist()))
            finite = values[~nan]
            if (finite != np.floor(finite)).any():
                raise ValueError(
                    "%s: %s must hold whole numbers, got %r" % (func_name, arg_name, arr.tolist())
                )
            values = finite
        bad = (values < low) | (values >= high)
        if bad.any():
            raise IndexError(
                "%s: %s=%r out of range, valid indices are %d to %d"
                % (func_name, arg_name, values[bad].tolist(), low, high - 1)
            )
        return arr

    @staticmethod
    def check_callable(func, func_name="", arg_count=0, param_names=(), raise_error=False,
                       except_sig=""):
        """Check that `func` can serve as the callback `func_name`.

        `param_names` lists the expected parameters; entries "*name" and
        "**name" ask for variable positional and keyword parameters.  The
        callback must accept exactly the plain positional parameters expected
        (names are free) and the variable parts asked for.  Returns
        (ok, reason); with `raise_error` a failed check raises TypeError.
        """
        reason = ""
        if func is None:
            reason = "`%s` is not defined" % func_name
        elif not callable(func):
            reason = "`%s` is not callable (%s)" % (func_name, type(func).__name__)
        else:
            try:
                sig = inspect.signature(func)
            except (TypeError, ValueError):
                sig = None  # builtins without a signature are taken as they are
            if sig is not None:
                reason = ArgumentChecker._compare(func_name, sig, arg_count, param_names)
        ok = not reason
        if not ok and raise_error:
            raise TypeError("%s, expect signature`%s`" % (reason, except_sig))
        return ok, reason

    @staticmethod
    def _compare(func_name, sig, arg_count, param_names):
        want_var = any(p.startswith("*") and not p.startswith("**") for p in param_names)
        want_kw = any(p.startswith("**") for p in param_names)
        plain = [p for p in param_names if not p.startswith("*")]
        kinds = inspect.Parameter
        positional = [
            p for p in sig.parameters.values()
            if p.kind in (kinds.POSITIONAL_ONLY, kinds.POSITIONAL_OR_KEYWORD)
        ]
        has_var = any(p.kind == kinds.VAR_POSITIONAL for p in sig.parameters.values())
        has_kw = any(p.kind == kinds.VAR_KEYWORD for p in sig.parameters.values())
        required_kwonly = [
            p.name for p in sig.parameters.values()
            if p.kind == kinds.KEYWORD_ONLY and p.default is inspect.Parameter.empty
        ]
        required = [p for p in positional if p.default is inspect.Parameter.empty]
        got = "(%s)" % ", ".join(str(p) for p in sig.parameters.values())
        if required_kwonly:
            return "`%s%s` has required keyword-only parameters %s" % (func_name, got, required_kwonly)
        if len(required) > len(plain) or (len(positional) < len(plain) and not has_var):
            return "`%s%s` takes %d positional parameter(s), %d expected" % (
                func_name, got, len(positional), len(plain))
        if want_var and not has_var:
            return "`%s%s` lacks the variable positional parameter" % (func_name, got)
        if want_kw and not has_kw:
            return "`%s%s` lacks the variable keyword parameter" % (func_name, got)
        return ""
