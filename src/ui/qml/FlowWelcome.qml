import QtQuick
import QtQuick.Layouts
import Zephlink

// The first-run welcome: what Zephlink does and the one button that starts it.
Item {
    id: welcome

    required property FlowModel flow

    width: 780
    height: 600

    Rectangle {
        anchors.fill: parent
        color: FlowTheme.cream
    }

    ColumnLayout {
        anchors.fill: parent
        anchors.leftMargin: 46
        anchors.rightMargin: 46
        anchors.topMargin: 38
        anchors.bottomMargin: 24
        spacing: 0

        FlowBrand {}

        FlowText {
            id: headline

            objectName: "headline"
            Layout.topMargin: 38
            text: "Make your devices\nfeel like one."
            font.weight: Font.Black
            font.pixelSize: 47
            lineHeightMode: Text.FixedHeight
            lineHeight: headlineMetrics.lineSpacing - 1.4
            wrapMode: Text.NoWrap

            FontMetrics {
                id: headlineMetrics

                font: headline.font
            }
        }

        FlowText {
            objectName: "subtitle"
            Layout.topMargin: 18
            text: "Copy text or links on one device.\nPaste them on another."
            color: FlowTheme.muted
            font.pixelSize: 22
            lineHeight: 1.1
        }

        FlowPrimaryButton {
            objectName: "connectButton"
            Layout.topMargin: 28
            text: "Connect a device"
            iconName: "arrow.right"
            onClicked: welcome.flow.connectFromWelcome()
        }

        Item { Layout.fillHeight: true }

        FlowText {
            objectName: "note"
            Layout.leftMargin: 4
            text: "Same thoughts.\nMore freedom."
            font.family: FlowTheme.informalFamily
            font.pixelSize: 19
            rotation: -7
        }

        FlowText {
            objectName: "footnote"
            Layout.topMargin: 20
            text: "Local dazar · Trusted private Wi-Fi. Every reachable installation can join."
            color: FlowTheme.muted
            font.pixelSize: 10
        }
    }

    FlowArtwork {
        objectName: "artwork"
        name: "flow_mac_onboarding_cutout"
        width: 550
        height: 380
        x: 570 - width / 2
        y: 356 - height / 2
    }

    FlowText {
        objectName: "caption"
        x: 639 - width / 2
        y: 527 - height / 2
        text: "A simpler,\nconnected you."
        horizontalAlignment: Text.AlignHCenter
        color: FlowTheme.muted
        font.family: FlowTheme.informalFamily
        font.pixelSize: 18
        rotation: -7
    }
}
