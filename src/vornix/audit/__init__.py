"""The look-ahead audit: proof that a strategy saw no data from after a step.

`audit(strategy, cuts=20, seed=0, **settings)` runs the strategy twice over the
whole range (two runs that differ make the strategy nondeterministic), keeping a
fingerprint of every window it read, every value it recorded and every order it
placed, filled or saw cancelled at every step; then, for each cut step c, runs it
again on a view of the bar store that holds nothing after the time of step c
(setting VX_STORE_CUT) and compares everything up to c.  Any difference is
look-ahead.  Every run works in a sealed folder of its own.
"""

from vornix.audit._audit import AuditReport, Finding, audit

__all__ = ["AuditReport", "Finding", "audit"]
