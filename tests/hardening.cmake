# Hardening: whole runs of the three programs with every file and registry call failing in turn,
# the corpus of bad inputs in tests/corpus/bad, and the fuzz targets' memory entry points held
# against the programs. make_fuzz_seeds writes the fuzzers' seed corpus (fuzz/corpus/).
add_executable(make_fuzz_seeds ${CMAKE_SOURCE_DIR}/fuzz/make_seeds.cpp)
target_link_libraries(make_fuzz_seeds PRIVATE test_support koepac_writer)

vnaudio_test(test_fuzz_findings test_fuzz_findings.cpp ${CMAKE_SOURCE_DIR}/fuzz/koepac_memory.cpp
             LIBS unpacker_core unpacker_test_support)
add_dependencies(test_fuzz_findings plovenak)

# The fault loops' stand-in encoder works without the platform layer, so a fault armed for drusel
# through the environment stays drusel's.
add_executable(plain_encoder helpers/plain_encoder.cpp)
# A loop runs a tool once per call it makes, hundreds of runs: a sanitizer build, unoptimised, takes
# six to ten times as long (drusel's loop, 50 s, took over 300 s on a 2-core machine).
if(VNAUDIO_SANITIZE)
  set(fault_loop_timeout 1200)
else()
  set(fault_loop_timeout 300)
endif()
vnaudio_test(test_fault_loops test_fault_loops.cpp LIBS koepac_writer unpacker_test_support TIMEOUT ${fault_loop_timeout})
add_dependencies(test_fault_loops tormel plovenak drusel plain_encoder)

add_executable(make_bad_corpus corpus/make_bad_corpus.cpp)
target_link_libraries(make_bad_corpus PRIVATE test_support koepac_writer)
vnaudio_test(test_bad_corpus test_bad_corpus.cpp LIBS unpacker_test_support)
add_dependencies(test_bad_corpus tormel plovenak)
