// The view model: what refresh copies, what the actions reach, and that a
// controller that is gone is never touched.
#include "ui_support.h"

#include <QSignalSpy>
#include <gtest/gtest.h>

using namespace zephlink;
using namespace zephlink::test;

TEST(FlowModel, StartsFindingDevicesThenRefreshCopiesTheControllersState) {
    FlowModel model;
    EXPECT_EQ(model.status(), QString::fromUtf8("Finding your devices\u2026"));
    EXPECT_FALSE(model.running());
    EXPECT_TRUE(model.automatic());
    EXPECT_EQ(model.panelHeight(), 600);

    FakeController controller;
    controller.status = QStringLiteral("Connected · trusted local network");
    controller.devices = {{"0123456789abcdef0123456789abcdef", "Pixel", "android"}};
    controller.clips = {QStringLiteral("b"), QStringLiteral("a")};
    controller.automatic = false;
    model.setApp(&controller);
    model.refresh();
    EXPECT_EQ(model.status(), controller.status);
    FlowDeviceList* devices = model.deviceList();
    ASSERT_EQ(devices->count(), 1);
    const QModelIndex device = devices->index(0);
    EXPECT_EQ(devices->data(device, FlowDeviceList::DeviceRole).toString(),
              controller.devices[0].device.c_str());
    EXPECT_EQ(devices->data(device, FlowDeviceList::NameRole).toString(), "Pixel");
    EXPECT_EQ(devices->data(device, FlowDeviceList::PlatformRole).toString(), "android");
    EXPECT_EQ(model.clips(), controller.clips);
    EXPECT_TRUE(model.running());
    EXPECT_FALSE(model.automatic());
    EXPECT_EQ(controller.resizes, 0) << "a hidden panel is not resized";
    controller.panelShown = true;
    model.refresh();
    EXPECT_EQ(controller.resizes, 1);
}

TEST(FlowModel, WithTheControllerGoneOrNoControllerNothingChanges) {
    FlowModel model;
    {
        FakeController controller;
        controller.status = QStringLiteral("Paused");
        controller.clips = {QStringLiteral("kept")};
        model.setApp(&controller);
        model.refresh();
        model.setPanelHeight(465);
    }
    QObject stranger;
    for (QObject* app : {static_cast<QObject*>(nullptr), &stranger}) {
        if (app)
            model.setApp(app);
        EXPECT_EQ(model.app(), nullptr);
        std::vector<std::unique_ptr<QSignalSpy>> spies;
        for (const char* signal :
             {SIGNAL(statusChanged()), SIGNAL(runningChanged()), SIGNAL(automaticChanged()),
              SIGNAL(settingsChanged()), SIGNAL(selectedChanged()), SIGNAL(panelHeightChanged())})
            spies.push_back(std::make_unique<QSignalSpy>(&model, signal));
        for (FlowList* list : {static_cast<FlowList*>(model.clipList()),
                               static_cast<FlowList*>(model.deviceList())}) {
            for (const char* signal :
                 {SIGNAL(modelReset()), SIGNAL(rowsInserted(QModelIndex, int, int)),
                  SIGNAL(rowsRemoved(QModelIndex, int, int))})
                spies.push_back(std::make_unique<QSignalSpy>(list, signal));
        }
        model.refresh();
        model.toggleSync();
        model.copyClip(QStringLiteral("x"));
        model.sendText(QStringLiteral("x"));
        for (const auto& spy : spies)
            EXPECT_EQ(spy->count(), 0) << spy->signal().constData();
        EXPECT_EQ(model.status(), "Paused");
        EXPECT_EQ(model.clips(), QStringList{"kept"});
        EXPECT_EQ(model.panelHeight(), 465);
    }
}

TEST(FlowClipList, ANewClipInsertsOneRowAndTheOldestLeavesAtTheEnd) {
    const auto letters = [](const char* from, int count) {
        QStringList list;
        for (int i = 0; i < count; ++i)
            list.append(QString(QChar(from[0] + i)));
        return list;
    };
    struct Case {
        const char* why;
        QStringList before, after;
        const char* changes; // removed and inserted ranges, in order
    };
    const Case cases[] = {
        {"new clip on top", {"a", "b"}, {"n", "a", "b"}, "+0-0"},
        {"full history: one in, the oldest out", letters("a", 20),
         QStringList{"n"} + letters("a", 19), "-19-19 +0-0"},
        {"history cleared", {"a", "b"}, {}, "-0-1"},
        {"same list", {"a", "b"}, {"a", "b"}, ""},
        {"another group's history", {"a", "b"}, {"x", "b"}, "-0-1 +0-1"},
    };
    for (const Case& c : cases) {
        FlowClipList list;
        list.setTexts(c.before);
        QStringList changes;
        QObject::connect(&list, &QAbstractItemModel::rowsInserted,
                         [&](const QModelIndex&, int first, int last) {
                             changes << QString("+%1-%2").arg(first).arg(last);
                         });
        QObject::connect(&list, &QAbstractItemModel::rowsRemoved,
                         [&](const QModelIndex&, int first, int last) {
                             changes << QString("-%1-%2").arg(first).arg(last);
                         });
        QSignalSpy counted(&list, &FlowList::countChanged);
        list.setTexts(c.after);
        EXPECT_EQ(changes.join(' '), c.changes) << c.why;
        EXPECT_EQ(list.texts(), c.after) << c.why;
        EXPECT_EQ(counted.count(), c.before.size() == c.after.size() ? 0 : 1) << c.why;
    }

    FlowClipList list;
    const QString long_(400, QChar('x'));
    list.setTexts({"line one\nline two", long_, "https://example.com", " http://example.com"});
    const auto role = [&](int row, int which) { return list.data(list.index(row), which); };
    EXPECT_EQ(role(0, FlowClipList::LineRole).toString(), "line one line two");
    EXPECT_EQ(role(0, FlowClipList::ClipRole).toString(), "line one\nline two");
    EXPECT_EQ(role(1, FlowClipList::LineRole).toString().size(), FlowClipList::kLineCharacters);
    // Only text that begins with "http", in lower case, is shown as a link.
    QList<bool> links;
    for (int row = 0; row < list.count(); ++row)
        links << role(row, FlowClipList::LinkRole).toBool();
    EXPECT_EQ(links, (QList<bool>{false, false, true, false}));
}
