import os

from hypothesis import HealthCheck, settings

# The normal suite keeps property tests small; `--slow` (or QUILLON_SLOW=1)
# runs many more examples, and under the sanitizers (QUILLON_SANITIZED=1)
# everything runs several times slower.
for name, n in (("default", 100), ("slow", 2000), ("sanitized", 30)):
    settings.register_profile(name, max_examples=n, deadline=None, suppress_health_check=[HealthCheck.too_slow])


def pytest_addoption(parser):
    parser.addoption("--slow", action="store_true", default=False, help="run many more property examples")


def pytest_configure(config):
    slow = config.getoption("--slow") or os.environ.get("QUILLON_SLOW")
    settings.load_profile("slow" if slow else "sanitized" if os.environ.get("QUILLON_SANITIZED") else "default")
