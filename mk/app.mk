# Update control (app/): the start-up timing harness.
#   make measure-startup [RUNS=5]   start to main window on the simulated laptop,
#                                   without the fixed pauses and the information
#                                   tool's own run time (see bench/measure_startup.py)
RUNS ?= 5
.PHONY: measure-startup
measure-startup: build prefix
	python3 bench/measure_startup.py --runs $(RUNS)
