import os
from pathlib import Path

import pytest

import kesra
from brute_force import brute_force, random_cloud


def pytest_configure(config):
    # Set by scripts/test-wheel.sh: the tests must reach the installed wheel, not a source tree.
    site = os.environ.get("KESRA_EXPECT_INSTALLED_IN")
    if site and not Path(kesra.__file__).is_relative_to(site):
        raise pytest.UsageError(f"kesra was imported from {kesra.__file__}, not from {site}")


@pytest.fixture(scope="session")
def cloud():
    """20,000 points in [-10, 10]^3 (about 8 neighbours within r = 1), queries around
    them, and the brute-force answers."""
    points = random_cloud(20_000, seed=1)
    queries = random_cloud(3_000, seed=2, low=-11.0, high=11.0)
    return points, queries, brute_force(points, queries, 1.0, k=40, weights=(1.0, 2.5))
