"""The `quillon-native` command: solve, check and batch-run CNF formulas with quillon_native."""
