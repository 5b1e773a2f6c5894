# End-to-end scenarios on the simulated laptop.
#   make scenario S=path/to/file.scn    one scenario (or several, or a folder), from scratch
#   make scenarios                      the whole suite under tests/scenarios/
#   make demo-run                       the default scenario as a user sees it, then one
#                                       refusal (its message box the last picture), with
#                                       screenshots and a summary under build/demo/
# (the top-level "demo" target builds everything first, then calls demo-run)
SCENARIO_RUN := python3 $(CURDIR)/sim/scenario/run.py
DEMO_DIR := $(CURDIR)/build/demo

.PHONY: scenario scenarios demo-run

scenario: build
	@if [ -z "$(S)" ]; then echo "usage: make scenario S=path/to/file.scn" >&2; exit 2; fi
	@$(SCENARIO_RUN) -v $(S); rc=$$?; [ $$rc -eq 77 ] && rc=0; exit $$rc

scenarios: build
	@$(SCENARIO_RUN) tests/scenarios tests/scenarios/win32; rc=$$?; [ $$rc -eq 77 ] && rc=0; exit $$rc

demo-run:
	@rm -rf $(DEMO_DIR) && mkdir -p $(DEMO_DIR)
	@$(SCENARIO_RUN) --shots $(DEMO_DIR) sim/scenario/demo.scn sim/scenario/demo_refusal.scn | tee $(DEMO_DIR)/verdict.txt; \
	 rc=$${PIPESTATUS[0]}; \
	 python3 $(CURDIR)/sim/scenario/demo_summary.py $(CURDIR)/build $(DEMO_DIR) > $(DEMO_DIR)/summary.txt; \
	 cat $(DEMO_DIR)/summary.txt; [ $$rc -eq 77 ] && rc=0; exit $$rc
