tarnwick_bench(platform_bench SOURCES platform_bench.cpp LIBS platform)
