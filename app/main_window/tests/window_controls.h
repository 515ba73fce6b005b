// Window tests find controls by the names a person sees in the window definition.
#pragma once

#include <QComboBox>
#include <QLineEdit>
#include <QString>
#include <QWidget>

namespace certdesk::window_test {

template <class T = QWidget>
T* FindControl(const QWidget& window, const char* name) {
    T* found = window.findChild<T*>(QString::fromLatin1(name));
    if (!found)
        qFatal("no control %s", name);
    return found;
}

// The text of an edit field or of a combo field's edit line.
inline QString TextOf(const QWidget& window, const char* name) {
    QWidget* w = FindControl(window, name);
    if (auto* edit = qobject_cast<QLineEdit*>(w))
        return edit->text();
    return qobject_cast<QComboBox*>(w)->currentText();
}

inline void SetTextOf(const QWidget& window, const char* name, const QString& text) {
    QWidget* w = FindControl(window, name);
    if (auto* edit = qobject_cast<QLineEdit*>(w))
        edit->setText(text);
    else
        qobject_cast<QComboBox*>(w)->setEditText(text);
}

}  // namespace certdesk::window_test
