"""The release tooling behind scripts/build and scripts/verify-release.
scripts/build and the tests import it with the repository's root on
PYTHONPATH."""
