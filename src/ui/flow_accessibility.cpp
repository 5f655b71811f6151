#include "flow_accessibility.h"

#include <QQuickItem>
#include <QQuickWindow>

namespace zephlink {

namespace {

QAccessibleInterface* flowFactory(const QString&, QObject* object) {
    auto* item = qobject_cast<QQuickItem*>(object);
    if (!item || item->metaObject()->indexOfProperty(kAccessibleValueProperty) < 0)
        return nullptr;
    return new FlowSwitchAccessible(item);
}

} // namespace

FlowSwitchAccessible::FlowSwitchAccessible(QQuickItem* item) : QAccessibleObject(item) {}

QQuickItem* FlowSwitchAccessible::item() const {
    return static_cast<QQuickItem*>(object());
}

QAccessibleInterface* FlowSwitchAccessible::parent() const {
    QQuickItem* self = item();
    if (!self)
        return nullptr;
    if (QQuickItem* parentItem = self->parentItem())
        return QAccessible::queryAccessibleInterface(parentItem);
    return self->window() ? QAccessible::queryAccessibleInterface(self->window()) : nullptr;
}

// The label and the knob are read as one control.
QAccessibleInterface* FlowSwitchAccessible::child(int) const {
    return nullptr;
}
int FlowSwitchAccessible::childCount() const {
    return 0;
}
int FlowSwitchAccessible::indexOfChild(const QAccessibleInterface*) const {
    return -1;
}

QWindow* FlowSwitchAccessible::window() const {
    return item() ? item()->window() : nullptr;
}

QRect FlowSwitchAccessible::rect() const {
    QQuickItem* self = item();
    if (!self || !self->window())
        return QRect();
    const QRectF scene = self->mapRectToScene(QRectF(0, 0, self->width(), self->height()));
    return QRect(self->window()->mapToGlobal(scene.topLeft().toPoint()), scene.size().toSize());
}

QAccessible::Role FlowSwitchAccessible::role() const {
    return QAccessible::CheckBox;
}

QAccessible::State FlowSwitchAccessible::state() const {
    QAccessible::State state;
    QQuickItem* self = item();
    if (!self) {
        state.invalid = true;
        return state;
    }
    state.checkable = true;
    state.checked = self->property("checked").toBool();
    state.invisible = !self->isVisible();
    state.focusable = true;
    state.focused = self->hasActiveFocus();
    state.disabled = !self->isEnabled();
    return state;
}

QString FlowSwitchAccessible::text(QAccessible::Text type) const {
    QQuickItem* self = item();
    if (!self)
        return QString();
    switch (type) {
    case QAccessible::Name:
        return self->property("text").toString();
    case QAccessible::Value:
        return self->property(kAccessibleValueProperty).toString();
    default:
        return QString();
    }
}

void* FlowSwitchAccessible::interface_cast(QAccessible::InterfaceType type) {
    if (type == QAccessible::ActionInterface)
        return static_cast<QAccessibleActionInterface*>(this);
    return QAccessibleObject::interface_cast(type);
}

QStringList FlowSwitchAccessible::actionNames() const {
    return {toggleAction(), pressAction()};
}

void FlowSwitchAccessible::doAction(const QString& name) {
    if (QQuickItem* self = item(); self && (name == toggleAction() || name == pressAction()))
        QMetaObject::invokeMethod(self, "toggled",
                                  Q_ARG(bool, !self->property("checked").toBool()));
}

QStringList FlowSwitchAccessible::keyBindingsForAction(const QString&) const {
    return {};
}

void FlowAccessibilitySingleton::orderRows(QQuickItem* view) const {
    if (!view)
        return;
    const auto row = [view](int index) {
        QQuickItem* item = nullptr;
        QMetaObject::invokeMethod(view, "itemAtIndex", Q_RETURN_ARG(QQuickItem*, item),
                                  Q_ARG(int, index));
        return item;
    };
    // From the last row up, each goes just before the one after it.
    for (int index = view->property("count").toInt() - 2; index >= 0; --index) {
        QQuickItem* item = row(index);
        QQuickItem* next = row(index + 1);
        if (item && next && item->parentItem() == next->parentItem())
            item->stackBefore(next);
    }
}

void installFlowAccessibility() {
    static const bool installed = [] {
        QAccessible::installFactory(flowFactory);
        return true;
    }();
    Q_UNUSED(installed);
}

} // namespace zephlink
