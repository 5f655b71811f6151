import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts
import Zephlink

// The clipboard panel's content: brand, connection, nearby devices, recent
// clips; a clip's detail; the settings page.
Rectangle {
    id: popover

    required property FlowModel flow
    // What is typed in the compose field; it survives page changes and hiding.
    property string compose: ""

    readonly property bool connected: flow.running && flow.devices.length > 0
    readonly property bool detail: typeof flow.selected === "string"
    readonly property string page: detail ? "detail" : (flow.settings ? "settings" : "main")

    width: 430
    height: flow.panelHeight
    color: FlowTheme.cream
    radius: 16
    border.color: FlowTheme.line
    border.width: 1
    clip: true

    component Label: Text {
        color: FlowTheme.ink
        font.family: FlowTheme.family
        font.pixelSize: 15
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

            Label {
                id: connectionText

                objectName: "connectionText"
                anchors.verticalCenter: parent.verticalCenter
                text: !popover.flow.running ? "Paused"
                                            : (popover.connected ? "Connected" : "Finding your devices…")

                // The controller's latest word (sent, copied, failed) on hover.
                HoverHandler { id: statusHover }
                ToolTip.visible: statusHover.hovered && popover.flow.status.length > 0
                ToolTip.delay: 400
                ToolTip.text: popover.flow.status
            }
        }

        // Main page.
        ColumnLayout {
            objectName: "mainPage"
            visible: popover.page === "main"
            Layout.fillWidth: true
            Layout.fillHeight: true
            Layout.topMargin: 18
            spacing: 0

            GridView {
                id: devices

                objectName: "devices"
                readonly property int rows: Math.ceil(count / 2)

                visible: count > 0
                interactive: rows > 2
                clip: true
                Layout.fillWidth: true
                Layout.preferredHeight: Math.min(rows, 2) * cellHeight
                Layout.bottomMargin: 8
                cellWidth: width / 2
                cellHeight: 54
                model: popover.flow.devices

                delegate: Item {
                    id: slot

                    required property var modelData
                    required property int index

                    width: GridView.view.width / 2
                    height: 54

                    FlowDeviceCell {
                        modelData: slot.modelData
                        x: slot.index % 2 === 0 ? 0 : 5
                        width: slot.width - 5
                        height: 44
                    }
                }
            }

            RowLayout {
                Layout.fillWidth: true

                Label {
                    text: "Recent Clips"
                    font.weight: Font.Bold
                    font.pixelSize: 17
                    Accessible.role: Accessible.Heading
                }

                Item { Layout.fillWidth: true }

                Label {
                    objectName: "clipCount"
                    text: popover.flow.clips.length + " / 20"
                    color: FlowTheme.muted
                    font.pixelSize: 12
                }
            }

            ColumnLayout {
                objectName: "emptyState"
                visible: popover.flow.clips.length === 0
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

                Label {
                    Layout.fillWidth: true
                    horizontalAlignment: Text.AlignHCenter
                    Layout.topMargin: 6
                    text: "Your next idea starts here."
                    font.weight: Font.Bold
                    font.pixelSize: 17
                }

                Label {
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
                visible: popover.flow.clips.length > 0
                Layout.fillWidth: true
                Layout.fillHeight: true
                Layout.topMargin: 12
                clip: true
                spacing: 8
                boundsBehavior: Flickable.StopAtBounds
                model: popover.flow.clips
                ScrollBar.vertical: ScrollBar { policy: ScrollBar.AsNeeded }

                delegate: FlowClipRow {
                    width: ListView.view.width
                    onSelected: (text) => popover.flow.selectClip(text)
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

                contentItem: Row {
                    spacing: 8

                    FlowIcon {
                        objectName: "syncSymbol"
                        anchors.verticalCenter: parent.verticalCenter
                        name: popover.flow.running ? "pause.circle" : "play.circle"
                        size: 19
                    }

                    Label {
                        anchors.verticalCenter: parent.verticalCenter
                        text: sync.text
                    }
                }
                background: Item {}
            }
        }

        // Detail page: one clip in full.
        ColumnLayout {
            objectName: "detailPage"
            visible: popover.page === "detail"
            Layout.fillWidth: true
            Layout.fillHeight: true
            Layout.topMargin: 18
            spacing: 14

            Label {
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
                }

                TextArea {
                    objectName: "detailText"
                    text: popover.detail ? popover.flow.selected : ""
                    textFormat: TextEdit.PlainText
                    readOnly: true
                    selectByMouse: true
                    wrapMode: TextEdit.Wrap
                    padding: 14
                    color: FlowTheme.ink
                    selectionColor: Qt.rgba(FlowTheme.teal.r, FlowTheme.teal.g, FlowTheme.teal.b, 0.3)
                    selectedTextColor: FlowTheme.ink
                    font.family: FlowTheme.family
                    font.pixelSize: 15
                    background: null
                }
            }

            FlowSoftButton {
                objectName: "copyText"
                primary: true
                text: "Copy text"
                iconName: "doc.on.doc"
                onClicked: popover.flow.copyClip(popover.flow.selected)
            }
        }

        // Settings page.
        ColumnLayout {
            objectName: "settingsPage"
            visible: popover.page === "settings"
            Layout.fillWidth: true
            Layout.fillHeight: true
            Layout.topMargin: 20
            spacing: 18

            Label {
                text: "A little more control"
                font.weight: Font.Bold
                font.pixelSize: 18
            }

            FlowSwitch {
                objectName: "automaticSwitch"
                Layout.fillWidth: true
                label: "Automatically share Mac copies"
                checked: popover.flow.automatic
                onToggled: (on) => popover.flow.setAutomaticSharing(on)
            }

            FlowSwitch {
                objectName: "startAtLoginSwitch"
                Layout.fillWidth: true
                label: "Start at login"
                checked: popover.flow.startAtLogin
                onToggled: (on) => popover.flow.switchStartAtLogin(on)
            }

            Rectangle {
                Layout.fillWidth: true
                implicitHeight: compose.implicitHeight
                radius: 11
                color: "white"
                border.color: FlowTheme.line
                border.width: 1

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

            Label {
                objectName: "notice"
                Layout.fillWidth: true
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

            Item { Layout.fillHeight: true }
        }
    }
}
