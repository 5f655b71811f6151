import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Shapes
import Zephlink

// The one main call to action of a view: white label on a teal capsule.
Button {
    id: button

    // A symbol after the label, if any.
    property string iconName

    implicitHeight: 56
    leftPadding: 26
    rightPadding: 26
    topPadding: 0
    bottomPadding: 0
    opacity: pressed ? 0.8 : 1
    Keys.onReturnPressed: clicked()
    Keys.onEnterPressed: clicked()
    // What a screen reader's "Press" does.
    Accessible.onPressAction: clicked()

    contentItem: Row {
        spacing: 14

        FlowText {
            anchors.verticalCenter: parent.verticalCenter
            text: button.text
            color: "white"
            font.weight: Font.Bold
            font.pixelSize: 20
        }

        FlowIcon {
            anchors.verticalCenter: parent.verticalCenter
            visible: button.iconName.length > 0
            name: button.iconName
            color: "white"
            size: 22
        }
    }

    background: Item {
        implicitHeight: 56

        // A soft teal shadow 5 below, about 9 across, in rings of fading teal.
        component ShadowRing: Rectangle {
            property real grow
            property real alpha

            x: -grow
            y: 5 - grow
            width: parent.width + 2 * grow
            height: parent.height + 2 * grow
            radius: height / 2
            color: Qt.rgba(FlowTheme.teal.r, FlowTheme.teal.g, FlowTheme.teal.b, alpha)
        }

        ShadowRing { grow: 9; alpha: 0.025 }
        ShadowRing { grow: 6.5; alpha: 0.03 }
        ShadowRing { grow: 4; alpha: 0.035 }
        ShadowRing { grow: 1.5; alpha: 0.04 }

        Shape {
            anchors.fill: parent
            layer.enabled: true
            layer.samples: 4

            ShapePath {
                strokeWidth: -1
                fillGradient: LinearGradient {
                    x1: 0
                    y1: 0
                    x2: button.width
                    y2: button.height

                    GradientStop { position: 0; color: FlowTheme.gradientStart }
                    GradientStop { position: 1; color: FlowTheme.gradientEnd }
                }
                startX: button.height / 2
                startY: 0

                PathLine { x: button.width - button.height / 2; y: 0 }
                PathArc {
                    x: button.width - button.height / 2
                    y: button.height
                    radiusX: button.height / 2
                    radiusY: button.height / 2
                }
                PathLine { x: button.height / 2; y: button.height }
                PathArc {
                    x: button.height / 2
                    y: 0
                    radiusX: button.height / 2
                    radiusY: button.height / 2
                }
            }
        }

        FlowFocusRing {
            visible: button.visualFocus
            cornerRadius: height / 2
        }
    }
}
