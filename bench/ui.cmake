tarnwick_bench(ui_bench SOURCES ui_bench.cpp LIBS ui ui_headless)
