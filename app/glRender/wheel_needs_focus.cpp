#include "app/glRender/wheel_needs_focus.h"

#include <QAbstractSpinBox>
#include <QComboBox>
#include <QEvent>

#include <type_traits>

namespace {

class WheelNeedsFocus : public QObject {
public:
    using QObject::QObject;

protected:
    // Ignored, the wheel goes on to the parents: the scroll area moves.
    bool eventFilter(QObject *watched, QEvent *event) override {
        if (event->type() != QEvent::Wheel || static_cast<QWidget *>(watched)->hasFocus())
            return false;
        event->ignore();
        return true;
    }
};

template <typename Control>
void guard(QWidget *panel, QObject *filter) {
    for (Control *control : panel->findChildren<Control *>()) {
        control->setFocusPolicy(Qt::StrongFocus); // not Qt::WheelFocus
        control->installEventFilter(filter);
        if constexpr (std::is_base_of_v<QAbstractSpinBox, Control>)
            control->setKeyboardTracking(false);
    }
}

} // namespace

void makeWheelNeedFocus(QWidget *panel) {
    auto *filter = new WheelNeedsFocus(panel);
    guard<QComboBox>(panel, filter);
    guard<QAbstractSpinBox>(panel, filter);
}
