"""Hypothesis settings shared by the property-based tests (the machine is shared: keep counts modest)."""

from hypothesis import HealthCheck, settings

kernel_settings = settings(
    max_examples=40,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)
