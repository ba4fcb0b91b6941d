import os

from hypothesis import HealthCheck, settings

settings.register_profile(
    "ci",
    deadline=None,
    max_examples=60,
    derandomize=True,
    suppress_health_check=[HealthCheck.too_slow],
)
settings.register_profile("dev", deadline=None, max_examples=150)
settings.load_profile("ci" if os.environ.get("CI") else os.environ.get("HYPOTHESIS_PROFILE", "dev"))
