quenza_add_test(test_app_catalogue SOURCES CatalogueTest.cpp LIBS quenza_app)
