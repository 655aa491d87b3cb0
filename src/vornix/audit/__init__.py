"""The look-ahead audit: proof that a strategy saw no data from after a step.

`audit(strategy, cuts=20, seed=0, **settings)` runs the strategy once over the
whole range, keeping a fingerprint of every window it read and every value it
recorded at every step; then, for each cut step c, runs it again on a view of
the bar store that holds nothing after the time of step c (setting
VX_STORE_CUT) and compares everything up to c.  Any difference is look-ahead.
"""

from vornix.audit._audit import AuditReport, Finding, audit

__all__ = ["AuditReport", "Finding", "audit"]
