# The configurator: its modules in-process, and the built tormel run on temporary game folders.
vnaudio_test(test_configurator test_engine.cpp test_bgm_folder.cpp test_track_timing.cpp test_gameexe.cpp
             LIBS configurator_core)
vnaudio_test(test_tormel test_tormel.cpp)
add_dependencies(test_tormel tormel)
