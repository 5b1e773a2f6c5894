# Update control (app/): the start-up timing harness.
#   make measure-startup [RUNS=5]   start to main window on the simulated laptop,
#                                   without the fixed pauses and the information
#                                   tool's own run time (see bench/measure_startup.py)
#   make bench-startup [ROUNDS=9] [TRACED=3]   the product against its floor program, interleaved:
#                                   both medians, their ratio and the phases, then TRACED runs of
#                                   each under Wine's trace, split further (bench/bench_startup.py)
RUNS ?= 5
ROUNDS ?= 9
TRACED ?= 3
.PHONY: measure-startup bench-startup
bench-startup: build
	python3 bench/bench_startup.py --runs $(ROUNDS) --trace $(TRACED)

measure-startup: build prefix
	python3 bench/measure_startup.py --runs $(RUNS)
