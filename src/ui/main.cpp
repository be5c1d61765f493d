// Quenza Video Converter: the desktop application.

#include <QApplication>
#include <QLabel>
#include <QMainWindow>

#include "app/QtDispatcher.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName("Quenza Video Converter");
  quenza::TQtMainThreadDispatcher dispatcher;
  quenza::SetMainThreadDispatcher(&dispatcher);

  QMainWindow window;
  window.setWindowTitle("Quenza Video Converter");
  auto* label = new QLabel("Quenza Video Converter", &window);
  label->setAlignment(Qt::AlignCenter);
  window.setCentralWidget(label);
  window.resize(800, 600);
  window.show();
  int rc = app.exec();
  quenza::SetMainThreadDispatcher(nullptr);
  return rc;
}
