#pragma once
// Work that should not compete with a window's first appearance waits for it:
// the callback runs on the GUI thread once the window's first paint is done.

#include <functional>

class QWidget;

// True once some widget of `window` has been painted.
bool hasBeenPainted(const QWidget *window);
// Runs `then` once, after the first paint of `window` (at once if that is
// past). Nothing runs if the window goes first.
void whenFirstPainted(QWidget *window, std::function<void()> then);
