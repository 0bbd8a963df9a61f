tarnwick_bench(log_bench SOURCES log_bench.cpp LIBS log)
