"""The rig: how this project runs a Windows program under Wine, answers its
message boxes and reads what it left behind.

- wine-prefix, wine-run: throwaway Wine prefixes cloned from one booted
  template, and ctest's way of running a test executable in one;
- prefix.py: a prefix driven from Python (files, registry, shortcuts, the
  robot that answers boxes, the stand-in browser's records);
- signing.py: throwaway signing keys, a loopback timestamp authority and a
  signed release;
- tools/: the Windows helper programs, built by CMakeLists.txt beside them;
- demo.py and screenshots.py: the narrated cycle of scripts/demo and the
  pictures of scripts/screenshots.

Import it as a package, with the repository's root on PYTHONPATH.
"""
