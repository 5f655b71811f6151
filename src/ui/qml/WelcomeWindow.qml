import QtQuick
import QtQuick.Window
import Zephlink

// The welcome window; closing it only hides it.
Window {
    id: window

    required property FlowModel flow

    width: 780
    height: 600
    color: FlowTheme.cream

    onClosing: (close) => {
        close.accepted = false;
        window.hide();
    }

    FlowWelcome {
        flow: window.flow
    }
}
