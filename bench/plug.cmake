tarnwick_bench(plug_bench SOURCES plug_bench.cpp LIBS plug sim usb)
