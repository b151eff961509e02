# The demo: the sample game maker and tools/demo.sh, run on the programs of this build.
if(TARGET make_sample_game)
  vnaudio_test(test_demo test_demo.cpp LIBS unpacker_test_support)
  add_dependencies(test_demo make_sample_game tormel plovenak drusel scmpx)
endif()
