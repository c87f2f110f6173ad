import os

from hypothesis import HealthCheck, settings

# The normal suite keeps property tests small; `--slow` (or QUILLON_SLOW=1)
# runs many more examples.
settings.register_profile("default", max_examples=150, deadline=None,
                          suppress_health_check=[HealthCheck.too_slow])
settings.register_profile("slow", max_examples=2000, deadline=None,
                          suppress_health_check=[HealthCheck.too_slow])
# Under the sanitizers everything runs several times slower.
settings.register_profile("sanitized", max_examples=40, deadline=None,
                          suppress_health_check=[HealthCheck.too_slow])


def pytest_addoption(parser):
    parser.addoption("--slow", action="store_true", default=False, help="run many more property examples")


def pytest_configure(config):
    if config.getoption("--slow") or os.environ.get("QUILLON_SLOW"):
        settings.load_profile("slow")
    elif os.environ.get("QUILLON_SANITIZED"):
        settings.load_profile("sanitized")
    else:
        settings.load_profile("default")
