"""The release tooling: PE facts, Authenticode checks, BUILDINFO and the
verifier behind scripts/verify-release. scripts/build and the tests import it
with the repository's root on PYTHONPATH."""
