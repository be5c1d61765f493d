quenza_add_test(test_media_records
  SOURCES OptionRecordsTest.cpp ${PROJECT_SOURCE_DIR}/tests/engine/TestHost.cpp
  LIBS quenza_media quenza_testsupport)
target_include_directories(test_media_records PRIVATE ${PROJECT_SOURCE_DIR}/tests/engine)
