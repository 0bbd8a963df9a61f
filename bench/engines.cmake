tarnwick_bench(engines_bench SOURCES engines_bench.cpp LIBS engine_threads sim ui ui_headless)
