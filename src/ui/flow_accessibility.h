#pragma once

// Screen-reader support the QML Accessible attached property cannot give:
// the switch's value, "On" or "Off", next to its label.
#include <QAccessibleObject>
#include <QObject>
#include <QQuickItem>
#include <QtQml/qqmlregistration.h>

namespace zephlink {

// Items that carry this property are read as switches: the name is their
// "text", the value this property's text, the state their "checked". They
// must declare themselves accessible (any Accessible property) for Qt Quick
// to list them among their parent's children.
inline constexpr char kAccessibleValueProperty[] = "flowAccessibleValue";

class FlowSwitchAccessible : public QAccessibleObject, public QAccessibleActionInterface {
public:
    explicit FlowSwitchAccessible(QQuickItem* item);

    QAccessibleInterface* parent() const override;
    QAccessibleInterface* child(int index) const override;
    int childCount() const override;
    int indexOfChild(const QAccessibleInterface* child) const override;
    QWindow* window() const override;
    QRect rect() const override;
    QAccessible::Role role() const override;
    QAccessible::State state() const override;
    QString text(QAccessible::Text type) const override;
    void* interface_cast(QAccessible::InterfaceType type) override;

    QStringList actionNames() const override;
    void doAction(const QString& name) override;
    QStringList keyBindingsForAction(const QString& name) const override;

private:
    QQuickItem* item() const;
};

// Installs the factory once per process.
void installFlowAccessibility();

// What the views ask of the accessibility side, as the QML singleton
// FlowAccessibility.
class FlowAccessibilitySingleton : public QObject {
    Q_OBJECT
    QML_NAMED_ELEMENT(FlowAccessibility)
    QML_SINGLETON

public:
    using QObject::QObject;

    // Screen readers read a view's rows in the order of the scene's items,
    // where a row inserted on top comes last; this puts the rows the view
    // has made in the order of its model.
    Q_INVOKABLE void orderRows(QQuickItem* view) const;
};

} // namespace zephlink
