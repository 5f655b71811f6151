pragma ComponentBehavior: Bound

import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts
import Zephlink

// The clipboard panel's content: brand, connection, nearby devices, recent
// clips; a clip's detail; the settings page. Every control is reached with
// Tab; the arrow keys move through the devices and the clips.
Rectangle {
    id: popover

    required property FlowModel flow
    // What is typed in the compose field; it survives page changes and hiding.
    property string compose: ""
    // Rounded where the desktop shows the panel's shadow around the corners;
    // square, edged by the border, where it cannot.
    property bool rounded: true

    readonly property bool connected: flow.running && flow.devices.count > 0
    readonly property bool detail: typeof flow.selected === "string"
    // The pages of the stack below: main, detail, settings.
    readonly property int page: detail ? 1 : (flow.settings ? 2 : 0)

    width: 430
    height: flow.panelHeight
    color: FlowTheme.cream
    radius: rounded ? 16 : 0
    border.color: FlowTheme.line
    border.width: 1
    clip: true

    // The control that had the keyboard's focus may have gone with its page;
    // the new page's first control takes it, so that the keys go on working.
    onPageChanged: Qt.callLater(focusPage)

    function focusPage() {
        const focused = popover.Window.activeFocusItem;
        if (!focused || focused.visible)
            return;
        const first = [clips.count > 0 ? clips : header, copyText, automaticSwitch][page];
        first.forceActiveFocus(Qt.TabFocusReason);
    }

    ColumnLayout {
        anchors.fill: parent
        anchors.margins: 25
        spacing: 0

        // Header: the brand and the settings or back button.
        RowLayout {
            Layout.fillWidth: true

            FlowBrand {}

            Item { Layout.fillWidth: true }

            FlowSoftButton {
                id: header

                objectName: "headerButton"
                readonly property bool back: popover.detail || popover.flow.settings
                text: back ? "Back" : "Settings"
                iconName: back ? "arrow.left" : "gearshape"
                onClicked: popover.flow.headerAction()
            }
        }

        // Connection line.
        Row {
            objectName: "connectionLine"
            Layout.topMargin: 16
            spacing: 8
            Accessible.role: Accessible.StaticText
            Accessible.name: connectionText.text
            Accessible.description: popover.flow.status

            Rectangle {
                objectName: "connectionDot"
                anchors.verticalCenter: parent.verticalCenter
                width: 10
                height: 10
                radius: 5
                color: popover.connected ? FlowTheme.connected : FlowTheme.muted
            }

            FlowText {
                id: connectionText

                objectName: "connectionText"
                anchors.verticalCenter: parent.verticalCenter
                text: !popover.flow.running ? "Paused"
                                            : (popover.connected ? "Connected" : "Finding your devices…")

                // The controller's latest word (sent, copied, failed) on hover.
                HoverHandler { id: statusHover }

                FlowToolTip {
                    objectName: "statusToolTip"
                    visible: statusHover.hovered && popover.flow.status.length > 0
                    text: popover.flow.status
                }
            }
        }

        StackLayout {
            objectName: "pages"
            Layout.fillWidth: true
            Layout.fillHeight: true
            Layout.topMargin: 18
            currentIndex: popover.page

            // Main page.
            ColumnLayout {
                id: mainPage

                objectName: "mainPage"
                spacing: 0

                GridView {
                    id: devices

                    objectName: "devices"
                    readonly property int rows: Math.ceil(count / 2)
                    // What the page can spare for devices: the clips (or the
                    // mascot) keep room below them.
                    readonly property real room: mainPage.height - heading.implicitHeight
                                                 - sync.implicitHeight - sync.Layout.topMargin
                                                 - (clips.count > 0 ? 144 : 120)
                    // Up to three rows at once, fewer on a short panel; the
                    // rest scroll, and the scroll bar shows that there are more.
                    readonly property int shownRows: Math.max(1, Math.min(3, Math.floor(room / cellHeight)))
                    readonly property bool overflows: rows > shownRows

                    visible: count > 0
                    interactive: overflows
                    clip: true
                    boundsBehavior: Flickable.StopAtBounds
                    activeFocusOnTab: true
                    keyNavigationEnabled: true
                    // Room for the focus ring, outside the column's edges.
                    Layout.fillWidth: true
                    Layout.leftMargin: -3
                    Layout.rightMargin: -3
                    Layout.preferredHeight: Math.min(rows, shownRows) * cellHeight + 6
                    Layout.bottomMargin: 5
                    leftMargin: 3
                    rightMargin: overflows ? 13 : 3
                    topMargin: 3
                    bottomMargin: 3
                    cellWidth: (width - leftMargin - rightMargin) / 2
                    cellHeight: 54
                    model: popover.flow.devices
                    Accessible.role: Accessible.List
                    Accessible.name: "Nearby devices"

                    delegate: FlowDeviceCell {
                        width: devices.cellWidth
                        height: devices.cellHeight
                    }

                    ScrollBar.vertical: ScrollBar {
                        objectName: "devicesScrollBar"
                        policy: devices.overflows ? ScrollBar.AlwaysOn : ScrollBar.AlwaysOff
                    }
                }

                RowLayout {
                    id: heading

                    Layout.fillWidth: true

                    FlowText {
                        text: "Recent Clips"
                        font.weight: Font.Bold
                        font.pixelSize: 17
                        Accessible.role: Accessible.Heading
                        Accessible.name: text
                    }

                    Item { Layout.fillWidth: true }

                    FlowText {
                        objectName: "clipCount"
                        text: popover.flow.clips.count + " / 20"
                        color: FlowTheme.muted
                        font.pixelSize: 12
                    }
                }

                ColumnLayout {
                    objectName: "emptyState"
                    visible: clips.count === 0
                    Layout.fillWidth: true
                    Layout.fillHeight: true
                    Layout.topMargin: 6
                    spacing: 4

                    // The mascot and its words sit in the middle of what is left.
                    Item { Layout.fillHeight: true }

                    FlowArtwork {
                        objectName: "mascot"
                        name: "flow_mascot"
                        Layout.fillWidth: true
                        Layout.fillHeight: true
                        Layout.maximumHeight: 132
                    }

                    FlowText {
                        Layout.fillWidth: true
                        horizontalAlignment: Text.AlignHCenter
                        Layout.topMargin: 6
                        text: "Your next idea starts here."
                        font.weight: Font.Bold
                        font.pixelSize: 17
                    }

                    FlowText {
                        Layout.fillWidth: true
                        horizontalAlignment: Text.AlignHCenter
                        text: "Copy text on a connected device.\nIt will be ready to paste here."
                        color: FlowTheme.muted
                        font.pixelSize: 14
                        lineHeight: 1.15
                    }

                    Item { Layout.fillHeight: true }
                }

                ListView {
                    id: clips

                    objectName: "clips"
                    visible: count > 0
                    Layout.fillWidth: true
                    Layout.fillHeight: true
                    Layout.topMargin: 9
                    Layout.leftMargin: -3
                    Layout.rightMargin: -3
                    topMargin: 3
                    bottomMargin: 3
                    clip: true
                    spacing: 8
                    boundsBehavior: Flickable.StopAtBounds
                    activeFocusOnTab: true
                    keyNavigationEnabled: true
                    model: popover.flow.clips
                    Accessible.role: Accessible.List
                    Accessible.name: "Recent Clips"

                    // In the order screen readers read them, too.
                    onCountChanged: Qt.callLater(FlowAccessibility.orderRows, clips)
                    ScrollBar.vertical: ScrollBar { policy: ScrollBar.AsNeeded }

                    delegate: FlowClipRow {
                        id: row

                        x: 3
                        width: clips.width - 6
                        onClicked: popover.flow.selectClip(row.clipText)
                        onCopied: (text) => popover.flow.copyClip(text)
                    }
                }

                // Footer: pause or resume.
                Button {
                    id: sync

                    objectName: "syncButton"
                    Layout.topMargin: 20
                    padding: 0
                    text: popover.flow.running ? "Pause sync" : "Resume sync"
                    onClicked: popover.flow.toggleSync()
                    opacity: pressed ? 0.6 : 1
                    Keys.onReturnPressed: clicked()
                    Keys.onEnterPressed: clicked()
                    Accessible.onPressAction: clicked()

                    contentItem: Row {
                        spacing: 8

                        FlowIcon {
                            objectName: "syncSymbol"
                            anchors.verticalCenter: parent.verticalCenter
                            name: popover.flow.running ? "pause.circle" : "play.circle"
                            size: 19
                        }

                        FlowText {
                            anchors.verticalCenter: parent.verticalCenter
                            text: sync.text
                        }
                    }
                    background: Item {
                        FlowFocusRing {
                            visible: sync.visualFocus
                            cornerRadius: 6
                        }
                    }
                }
            }

            // Detail page: one clip in full.
            ColumnLayout {
                objectName: "detailPage"
                spacing: 14

                FlowText {
                    text: "Shared text"
                    font.weight: Font.Bold
                    font.pixelSize: 18
                }

                ScrollView {
                    Layout.fillWidth: true
                    Layout.fillHeight: true
                    background: Rectangle {
                        radius: 14
                        color: "white"
                        border.color: FlowTheme.line

                        FlowFocusRing {
                            visible: detailText.activeFocus
                            cornerRadius: 14
                        }
                    }

                    TextArea {
                        id: detailText

                        objectName: "detailText"
                        text: popover.detail ? popover.flow.selected : ""
                        textFormat: TextEdit.PlainText
                        readOnly: true
                        selectByMouse: true
                        selectByKeyboard: true
                        wrapMode: TextEdit.Wrap
                        padding: 14
                        color: FlowTheme.ink
                        selectionColor: Qt.rgba(FlowTheme.teal.r, FlowTheme.teal.g, FlowTheme.teal.b, 0.3)
                        selectedTextColor: FlowTheme.ink
                        font.family: FlowTheme.family
                        font.pixelSize: 15
                        background: null
                        Accessible.name: "Shared text"
                    }
                }

                FlowSoftButton {
                    id: copyText

                    objectName: "copyText"
                    primary: true
                    text: "Copy text"
                    iconName: "doc.on.doc"
                    onClicked: popover.flow.copyClip(popover.flow.selected)
                }
            }

            // Settings page. A column rather than a layout: the notice's
            // wrapped height reaches a column at once, whereas the stack's
            // layouts would miss it while the page is hidden.
            Column {
                objectName: "settingsPage"
                spacing: 18

                FlowText {
                    topPadding: 2
                    text: "A little more control"
                    font.weight: Font.Bold
                    font.pixelSize: 18
                }

                FlowSwitch {
                    id: automaticSwitch

                    objectName: "automaticSwitch"
                    width: parent.width
                    text: "Automatically share Mac copies"
                    checked: popover.flow.automatic
                    onToggled: (on) => popover.flow.setAutomaticSharing(on)
                }

                FlowSwitch {
                    objectName: "startAtLoginSwitch"
                    width: parent.width
                    text: "Start at login"
                    checked: popover.flow.startAtLogin
                    onToggled: (on) => popover.flow.switchStartAtLogin(on)
                }

                Rectangle {
                    width: parent.width
                    height: compose.implicitHeight
                    radius: 11
                    color: "white"
                    border.color: FlowTheme.line
                    border.width: 1

                    FlowFocusRing {
                        visible: compose.activeFocus
                        cornerRadius: 11
                    }

                    TextField {
                        id: compose

                        objectName: "composeField"
                        anchors.left: parent.left
                        anchors.right: parent.right
                        padding: 10
                        placeholderText: "Type text or a link"
                        placeholderTextColor: Qt.rgba(FlowTheme.muted.r, FlowTheme.muted.g, FlowTheme.muted.b, 0.7)
                        text: popover.compose
                        onTextEdited: popover.compose = text
                        color: FlowTheme.ink
                        selectionColor: Qt.rgba(FlowTheme.teal.r, FlowTheme.teal.g, FlowTheme.teal.b, 0.3)
                        selectedTextColor: FlowTheme.ink
                        font.family: FlowTheme.family
                        font.pixelSize: 15
                        background: null
                        Accessible.name: "Type text or a link"
                    }
                }

                Row {
                    spacing: 10

                    FlowSoftButton {
                        objectName: "sendText"
                        primary: true
                        text: "Send text"
                        onClicked: popover.flow.sendText(popover.compose)
                    }

                    FlowSoftButton {
                        objectName: "sendClipboard"
                        text: "Send clipboard"
                        onClicked: popover.flow.sendClipboard()
                    }
                }

                FlowText {
                    objectName: "notice"
                    width: parent.width
                    text: "Trusted private Wi-Fi only: every reachable installation can join. History is held in memory. Sensitive formats are skipped, but not every secret can be detected."
                    wrapMode: Text.WordWrap
                    color: FlowTheme.muted
                    font.pixelSize: 13
                    lineHeight: 1.15
                }

                Row {
                    spacing: 10

                    FlowSoftButton {
                        objectName: "welcomeButton"
                        text: "Welcome"
                        onClicked: popover.flow.showWelcome()
                    }

                    FlowSoftButton {
                        objectName: "quitButton"
                        text: "Quit Zephlink"
                        onClicked: popover.flow.quit()
                    }
                }
            }
        }
    }
}
