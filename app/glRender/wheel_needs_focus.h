// Spin boxes and combo boxes in a panel that scrolls take the mouse wheel only
// once they have focus (a click or Tab gives it): a wheel passing over one on
// its way down the panel scrolls the panel instead of changing the value.
// Typed values apply on Enter or when focus leaves, not at each keystroke.
#pragma once

class QWidget;

// For every spin box and combo box under panel.
void makeWheelNeedFocus(QWidget *panel);
