tarnwick_bench(sim_bench SOURCES sim_bench.cpp LIBS sim usb)
