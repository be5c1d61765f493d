quenza_add_test(test_cli_profile SOURCES ProfileCliTest.cpp LIBS quenza_testsupport)
add_dependencies(test_cli_profile quenza-convert)
target_compile_definitions(test_cli_profile PRIVATE QUENZA_CONVERT_EXE="$<TARGET_FILE:quenza-convert>"
  QUENZA_CATALOGUE_FILE="${PROJECT_SOURCE_DIR}/data/quenzaxboxformat.ini")
