# Which build tree runs the Windows tests on this machine, decided once for every CMake file
# (included from the top CMakeLists.txt). scripts/windows-test-tree answers: win32 where the
# machine executes 32-bit code, win64 where it cannot (some virtual machines' kernels have no
# IA-32 emulation; QM_NO_32BIT=1 takes that path anywhere). It is asked at every configure, never
# taken from the cache, so a tree reused on a machine of the other kind follows that machine; the
# answer it records under build/ makes every tree configure again when it changes.
#
# What the CMake files are given:
#   QM_WINDOWS_TEST_TREE    win32 or win64: registers the scenarios (tests/scenarios)
#   QM_TREE_TESTS_RUN       this tree's own test programs run here, so qm_gtest registers them;
#                           OFF only in a win32 tree where the win64 tree runs the Windows tests
#   QM_UI_TEST_TREE         the tree of the GUI tests (tests/ui): QM_WINDOWS_TEST_TREE unless
#                           given on the command line (-DQM_UI_TEST_TREE=win32|win64)
set(QM_I386_ANSWER ${QM_BUILD_ROOT}/machine-i386.txt)
execute_process(COMMAND ${QM_ROOT}/scripts/windows-test-tree --record ${QM_I386_ANSWER}
                OUTPUT_VARIABLE QM_WINDOWS_TEST_TREE OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
if(NOT QM_WINDOWS_TEST_TREE STREQUAL "win32")
  set(QM_WINDOWS_TEST_TREE win64)  # also when the script could not run
endif()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${QM_I386_ANSWER})
unset(QM_RUN_WIN32_TESTS CACHE)  # trees configured before kept an answer here for good

if(QM_TARGET STREQUAL "win32" AND NOT QM_WINDOWS_TEST_TREE STREQUAL "win32")
  set(QM_TREE_TESTS_RUN OFF)
else()
  set(QM_TREE_TESTS_RUN ON)
endif()
if(NOT DEFINED QM_UI_TEST_TREE)
  set(QM_UI_TEST_TREE ${QM_WINDOWS_TEST_TREE})
endif()
