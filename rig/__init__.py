"""The rig: how this project runs a Windows program under Wine, answers its
message boxes and reads what it left behind (docs/testing.md). Import it as a
package, with the repository's root on PYTHONPATH."""
