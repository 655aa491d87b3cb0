"""Hypothesis profiles of the property-based tests: "ci" (the default: small
counts, the whole suite runs on a shared two-core machine; the examples that once
failed are replayed first from the local example database) and "thorough" (many more
examples, on demand: HYPOTHESIS_PROFILE=thorough pytest).  A property test takes its
count from the loaded profile (decorate it with `kernel_settings`), not one of its own."""

import os

from hypothesis import HealthCheck, settings

_COMMON = dict(deadline=None, suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
settings.register_profile("ci", max_examples=25, **_COMMON)
settings.register_profile("thorough", max_examples=1000, **_COMMON)
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "ci"))

# what the property tests decorate themselves with: the loaded profile
kernel_settings = settings(**_COMMON)
