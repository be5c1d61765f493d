quenza_add_test(test_app_settings SOURCES SettingsTest.cpp LIBS quenza_app)
target_compile_definitions(test_app_settings PRIVATE QUENZA_SOURCE_DATA_DIR="${PROJECT_SOURCE_DIR}/data")
