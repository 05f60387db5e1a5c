// One QApplication on the offscreen platform for the widget tests.
#pragma once

#include <QApplication>

#include <clocale>

inline QApplication& TestApp() {
  static int argc = 1;
  static char name[] = "test_app_shell_window";
  static char* argv[] = {name, nullptr};
  static QApplication* app = [] {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    auto* a = new QApplication(argc, argv);
    std::setlocale(LC_NUMERIC, "C");
    return a;
  }();
  return *app;
}
