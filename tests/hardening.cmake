# Hardening: whole runs of the three programs with every file and registry call failing in turn,
# the corpus of bad inputs in tests/corpus/bad, and the fuzz targets' memory entry points held
# against the programs. make_fuzz_seeds writes the fuzzers' seed corpus (fuzz/corpus/).
add_executable(make_fuzz_seeds ${CMAKE_SOURCE_DIR}/fuzz/make_seeds.cpp)
target_link_libraries(make_fuzz_seeds PRIVATE test_support koepac_writer)

vnaudio_test(test_fuzz_findings test_fuzz_findings.cpp LIBS vnplatform)
