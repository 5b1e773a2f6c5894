# Update control (app/): the start-up timing harness.
#   make measure-startup [RUNS=5]   start to main window on the simulated laptop,
#                                   without the fixed pauses and the information
#                                   tool's own run time (see bench/measure_startup.py)
#   make bench-startup [ROUNDS=9]   the product against its floor program, interleaved: both
#                                   medians, their ratio and the phases (bench/bench_startup.py)
RUNS ?= 5
ROUNDS ?= 9
.PHONY: measure-startup bench-startup
bench-startup: build
	python3 bench/bench_startup.py --runs $(ROUNDS)

measure-startup: build prefix
	python3 bench/measure_startup.py --runs $(RUNS)
