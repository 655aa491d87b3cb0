"""Hypothesis profiles of the property-based tests: "ci" (the default: modest
counts, the machine is shared) and "thorough" (many more examples, on demand:
HYPOTHESIS_PROFILE=thorough pytest)."""

import os

from hypothesis import HealthCheck, settings

_COMMON = dict(deadline=None, suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
settings.register_profile("ci", max_examples=40, **_COMMON)
settings.register_profile("thorough", max_examples=1000, **_COMMON)
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "ci"))

# what the property tests decorate themselves with: the loaded profile
kernel_settings = settings(**_COMMON)
