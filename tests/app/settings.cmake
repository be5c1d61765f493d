quenza_add_test(test_app_settings SOURCES SettingsTest.cpp LIBS quenza_app)
