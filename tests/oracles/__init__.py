"""Plain-Python transcriptions of the extension modules' rules, which the tests
compare the modules against (the benchmarks time them as the slow baseline)."""
