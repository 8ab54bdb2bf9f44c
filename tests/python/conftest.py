import pytest

from brute_force import brute_force, random_cloud


@pytest.fixture(scope="session")
def cloud():
    """20,000 points in [-10, 10]^3 (about 8 neighbours within r = 1), queries around
    them, and the brute-force answers."""
    points = random_cloud(20_000, seed=1)
    queries = random_cloud(3_000, seed=2, low=-11.0, high=11.0)
    return points, queries, brute_force(points, queries, 1.0, k=40, weights=(1.0, 2.5))
