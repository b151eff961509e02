# The voice unpacker: the format and decoder in memory, the decoder on files, and plovenak runs.
add_library(unpacker_test_support STATIC unpacker_support.cpp)
target_link_libraries(unpacker_test_support PUBLIC test_support)

vnaudio_test(test_unpacker_format test_unpacker_format.cpp LIBS unpacker_core koepac_writer unpacker_test_support)

vnaudio_test(test_unpacker_run test_unpacker_run.cpp LIBS koepac_writer unpacker_test_support)
add_dependencies(test_unpacker_run plovenak koepack)

vnaudio_test(test_unpacker_faults test_unpacker_faults.cpp LIBS koepac_writer unpacker_test_support)
add_dependencies(test_unpacker_faults plovenak)
