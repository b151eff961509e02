# The English message catalogue.
vnaudio_test(test_messages test_messages.cpp)
