#pragma once

// The clips and the nearby devices as list models for the views. A change
// moves only the rows that changed: a new clip inserts one row at the top
// (and drops the oldest when the history is full) instead of resetting the
// list, so that the views keep their scroll position and focus.
#include "local_session.h"

#include <QAbstractListModel>
#include <QList>
#include <QStringList>
#include <QtQml/qqmlregistration.h>

namespace zephlink {

class FlowList : public QAbstractListModel {
    Q_OBJECT
    QML_ANONYMOUS
    Q_PROPERTY(int count READ count NOTIFY countChanged)

public:
    using QAbstractListModel::QAbstractListModel;
    int count() const { return rowCount(); }

signals:
    void countChanged();

protected:
    // Turns rows into next: the rows put in front are inserted and the rows
    // gone from the end removed; a list that has nothing in common with the
    // old one replaces it whole.
    template <typename Row> void replace(QList<Row>& rows, const QList<Row>& next);
};

// The history, newest first. Roles: clipText (the whole text), line (what a row
// shows: the start of the text on one line) and link (the text begins with
// "http").
// The base is named in full for the QML type registrar.
class FlowClipList : public zephlink::FlowList {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("The view model owns the clip list")

public:
    enum Role { ClipRole = Qt::UserRole + 1, LineRole, LinkRole };
    // A row shows one line; the detail page shows the rest.
    static constexpr qsizetype kLineCharacters = 300;

    using FlowList::FlowList;

    const QStringList& texts() const { return texts_; }
    void setTexts(const QStringList& texts);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;

private:
    QStringList texts_;
};

// The devices of the nearby session. Roles: device, name and platform.
class FlowDeviceList : public zephlink::FlowList {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("The view model owns the device list")

public:
    enum Role { DeviceRole = Qt::UserRole + 1, NameRole, PlatformRole };

    using FlowList::FlowList;

    const QList<NearbyDevice>& devices() const { return devices_; }
    void setDevices(const QList<NearbyDevice>& devices);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;

private:
    QList<NearbyDevice> devices_;
};

} // namespace zephlink
