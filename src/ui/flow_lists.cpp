#include "flow_lists.h"

#include <algorithm>

namespace zephlink {

template <typename Row> void FlowList::replace(QList<Row>& rows, const QList<Row>& next) {
    if (rows == next)
        return;
    const qsizetype before = rows.size();
    // The fewest new rows in front after which next goes on as rows began;
    // at worst all of them, after every old row went.
    for (qsizetype added = 0; added <= next.size(); ++added) {
        const qsizetype kept = next.size() - added;
        if (kept > rows.size() ||
            !std::equal(next.begin() + added, next.end(), rows.begin(), rows.begin() + kept))
            continue;
        if (kept < rows.size()) {
            beginRemoveRows(QModelIndex(), static_cast<int>(kept),
                            static_cast<int>(rows.size() - 1));
            rows.resize(kept);
            endRemoveRows();
        }
        if (added > 0) {
            beginInsertRows(QModelIndex(), 0, static_cast<int>(added - 1));
            rows = next;
            endInsertRows();
        }
        if (before != rows.size())
            emit countChanged();
        return;
    }
}

void FlowClipList::setTexts(const QStringList& texts) {
    replace(texts_, texts);
}

int FlowClipList::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(texts_.size());
}

QVariant FlowClipList::data(const QModelIndex& index, int role) const {
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return {};
    const QString& text = texts_.at(index.row());
    switch (role) {
    case Qt::DisplayRole:
    case ClipRole:
        return text;
    case LineRole:
        return text.left(kLineCharacters).replace(QLatin1Char('\n'), QLatin1Char(' '));
    case LinkRole:
        // Case-sensitive, as the design asks: "HTTP://" is shown as text.
        return text.startsWith(QLatin1String("http"));
    default:
        return {};
    }
}

QHash<int, QByteArray> FlowClipList::roleNames() const {
    return {{ClipRole, "clipText"}, {LineRole, "line"}, {LinkRole, "link"}};
}

void FlowDeviceList::setDevices(const QList<NearbyDevice>& devices) {
    replace(devices_, devices);
}

int FlowDeviceList::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(devices_.size());
}

QVariant FlowDeviceList::data(const QModelIndex& index, int role) const {
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return {};
    const NearbyDevice& device = devices_.at(index.row());
    switch (role) {
    case DeviceRole:
        return QString::fromStdString(device.device);
    case Qt::DisplayRole:
    case NameRole:
        return QString::fromStdString(device.name);
    case PlatformRole:
        return QString::fromStdString(device.platform);
    default:
        return {};
    }
}

QHash<int, QByteArray> FlowDeviceList::roleNames() const {
    return {{DeviceRole, "device"}, {NameRole, "name"}, {PlatformRole, "platform"}};
}

} // namespace zephlink
