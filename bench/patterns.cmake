tarnwick_bench(patterns_bench SOURCES patterns_bench.cpp LIBS engines log)
