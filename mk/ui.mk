# User interface: screenshots with a contact sheet, and the paint timing.
#   make ui-screens       build/screens/*.png (screens), build/screens/boxes/*.png (message boxes)
#                         and build/screens/contact-sheet.png
#   make ui-paint-timing  paint time of each screen at 1920x1080 under Wine
#   make ui-check         the GUI tests alone
.PHONY: ui-screens ui-paint-timing ui-check

# The harness of the tree that runs the Windows tests here (the Makefile's WINDOWS_TEST_TREE).
UI_HARNESS = $(B)/$(WINDOWS_TEST_TREE)/tests/ui/ui_harness.exe

ui-screens: build
	tests/ui/screens.sh $(UI_HARNESS) $(B)/screens

ui-paint-timing: build
	@mkdir -p $(B)/ui-test
	tests/ui/run-gui.sh --size 1920x1080 --dpi 96 -- \
	  $(B)/$(WINDOWS_TEST_TREE)/bench/paint_timing.exe @$(B)/ui-test/timing.txt
	@cat $(B)/ui-test/timing.txt

ui-check: build
	ctest --test-dir $(B)/$(WINDOWS_TEST_TREE) -L gui --output-on-failure
