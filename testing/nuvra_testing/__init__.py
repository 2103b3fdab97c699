"""What the tests, the benchmarks and the fuzzers of nuvra share.

- reference: the three functions in plain Python, the definition they are
  checked against;
- loggen: seeded generators of log lines and texts;
- helpers: bit-exact comparison, traceback entries, subprocess runners;
- source_lines: the lines the module's traceback entries report;
- strategies: hypothesis strategies for words and texts.

Installed beside the package in the test, fuzz and sanitizer environments
(scripts/env.sh), so nothing edits sys.path to reach it.
"""
