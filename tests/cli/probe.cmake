quenza_add_test(test_cli_probe SOURCES ProbeCliTest.cpp LIBS quenza_media quenza_testsupport)
add_dependencies(test_cli_probe quenza-convert)
target_compile_definitions(test_cli_probe PRIVATE QUENZA_CONVERT_EXE="$<TARGET_FILE:quenza-convert>")
