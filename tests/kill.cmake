# tormel and plovenak killed at every write, rename and removal of a run (strace's tampering);
# the tests skip, loudly, where strace is missing.
vnaudio_test(test_kill_runs test_kill_runs.cpp LIBS koepac_writer unpacker_test_support)
add_dependencies(test_kill_runs tormel plovenak)
