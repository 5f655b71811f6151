pragma ComponentBehavior: Bound

import QtQuick
import QtQuick.Window
import Zephlink

// The clipboard panel: a frameless window around the popover card, which
// draws its own background. Where the desktop composites windows the window
// is a little larger than the card and draws the card's shadow in that
// margin; elsewhere it is the card alone, edged by its border. It is only
// ever hidden, never closed.
Window {
    id: window

    required property FlowModel flow
    // The margin around the card for its shadow. The views set it, and the
    // window's frame: the card's, grown by the margin.
    property int inset: 0

    width: 430
    height: 600
    color: "transparent"

    onClosing: (close) => {
        close.accepted = false;
        window.hide();
    }

    // A soft shadow a little below the card: rings of faint ink, each a
    // point wider, that add up to a fading edge.
    Repeater {
        model: window.inset > 0 ? window.inset - 4 : 0

        Rectangle {
            required property int index
            readonly property real grow: index + 1

            objectName: "shadow"
            x: card.x - grow
            y: card.y + 4 - grow
            width: card.width + 2 * grow
            height: card.height + 2 * grow
            radius: card.radius + grow
            color: Qt.rgba(FlowTheme.ink.r, FlowTheme.ink.g, FlowTheme.ink.b, 0.014)
        }
    }

    FlowPopover {
        id: card

        objectName: "card"
        x: window.inset
        y: window.inset
        flow: window.flow
        rounded: window.inset > 0
    }
}
