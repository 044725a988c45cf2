#pragma once
// The generated form of the main window, for MainWindow code in any folder:
// include "gui/mainwindow_form.h" instead of "ui_mainwindow.h" (uic only finds
// mainwindow.ui from files in this folder).

#include "ui_mainwindow.h"
