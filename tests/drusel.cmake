# The common utilities and the MP3 converter.
vnaudio_test(test_common test_common.cpp LIBS vncommon)

add_executable(fake_encoder helpers/fake_encoder.cpp)
target_link_libraries(fake_encoder PRIVATE vnplatform)
vnaudio_test(test_drusel test_drusel.cpp LIBS vncommon)
add_dependencies(test_drusel drusel fake_encoder)
if(TARGET scmpx)
  add_dependencies(test_drusel scmpx)
endif()
vnaudio_test(test_drusel_kills test_drusel_kills.cpp LIBS vncommon)
add_dependencies(test_drusel_kills drusel fake_encoder)
vnaudio_test(test_drusel_hangs test_drusel_hangs.cpp LIBS vncommon)
add_dependencies(test_drusel_hangs drusel fake_encoder)
