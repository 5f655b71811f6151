// Copy-to-paste timer for two X displays, without a process per clipboard
// access: owns CLIPBOARD on display A with a new text, then waits for
// display B's clipboard owner to change and reads B's clipboard until it
// holds that text. Prints "START END" (seconds since the epoch, realtime
// clock) per copy. Built on request for bench/two_desktops_latency.sh.
// Usage: zephlink_clip_latency DISPLAY_A DISPLAY_B COPIES
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/Xfixes.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <poll.h>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

double now() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

struct Display_ {
    Display* dpy = nullptr;
    Window window = 0;
    Atom clipboard = 0, utf8 = 0, targets = 0, property = 0, plain = 0;

    explicit Display_(const char* name) {
        dpy = XOpenDisplay(name);
        if (dpy == nullptr) {
            std::fprintf(stderr, "cannot open display %s\n", name);
            std::exit(2);
        }
        window = XCreateSimpleWindow(dpy, DefaultRootWindow(dpy), 0, 0, 1, 1, 0, 0, 0);
        clipboard = XInternAtom(dpy, "CLIPBOARD", False);
        utf8 = XInternAtom(dpy, "UTF8_STRING", False);
        targets = XInternAtom(dpy, "TARGETS", False);
        property = XInternAtom(dpy, "ZEPHLINK_BENCH", False);
        plain = XInternAtom(dpy, "text/plain;charset=utf-8", False);
    }
};

// Answers display A's requests for the text it owns.
void serve(Display_& a, const XSelectionRequestEvent& request, const std::string& text) {
    XSelectionEvent reply{};
    reply.type = SelectionNotify;
    reply.requestor = request.requestor;
    reply.selection = request.selection;
    reply.target = request.target;
    reply.time = request.time;
    reply.property = request.property == None ? request.target : request.property;
    if (request.target == a.targets) {
        const Atom offered[] = {a.targets, a.utf8, a.plain, XA_STRING};
        XChangeProperty(a.dpy, request.requestor, reply.property, XA_ATOM, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(offered), 4);
    } else if (request.target == a.utf8 || request.target == a.plain ||
               request.target == XA_STRING) {
        XChangeProperty(a.dpy, request.requestor, reply.property, request.target, 8,
                        PropModeReplace, reinterpret_cast<const unsigned char*>(text.data()),
                        static_cast<int>(text.size()));
    } else {
        reply.property = None;
    }
    XSendEvent(a.dpy, request.requestor, False, 0, reinterpret_cast<XEvent*>(&reply));
    XFlush(a.dpy);
}

std::string readProperty(Display_& b) {
    Atom type = 0;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* bytes = nullptr;
    std::string text;
    if (XGetWindowProperty(b.dpy, b.window, b.property, 0, 1 << 20, True, AnyPropertyType, &type,
                           &format, &count, &after, &bytes) == Success &&
        bytes != nullptr) {
        text.assign(reinterpret_cast<char*>(bytes), count);
        XFree(bytes);
    }
    return text;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s DISPLAY_A DISPLAY_B COPIES\n", argv[0]);
        return 2;
    }
    Display_ a(argv[1]);
    Display_ b(argv[2]);
    const int copies = std::atoi(argv[3]);
    int fixesEvent = 0, fixesError = 0;
    if (!XFixesQueryExtension(b.dpy, &fixesEvent, &fixesError)) {
        std::fprintf(stderr, "no XFixes on %s\n", argv[2]);
        return 2;
    }
    XFixesSelectSelectionInput(b.dpy, DefaultRootWindow(b.dpy), b.clipboard,
                               XFixesSetSelectionOwnerNotifyMask);
    XFlush(b.dpy);
    std::mt19937_64 random(std::random_device{}());
    std::string text;

    // Handles what both displays sent; true once B's clipboard holds text.
    auto pump = [&](bool& reached) {
        while (XPending(a.dpy) > 0) {
            XEvent event;
            XNextEvent(a.dpy, &event);
            if (event.type == SelectionRequest)
                serve(a, event.xselectionrequest, text);
        }
        while (XPending(b.dpy) > 0) {
            XEvent event;
            XNextEvent(b.dpy, &event);
            if (event.type == fixesEvent + XFixesSelectionNotify) {
                XConvertSelection(b.dpy, b.clipboard, b.utf8, b.property, b.window, CurrentTime);
                XFlush(b.dpy);
            } else if (event.type == SelectionNotify && event.xselection.property != None) {
                reached = reached || readProperty(b) == text;
            }
        }
    };
    auto wait = [&](double until, bool& reached) {
        while (!reached && now() < until) {
            pollfd fds[] = {{ConnectionNumber(a.dpy), POLLIN, 0},
                            {ConnectionNumber(b.dpy), POLLIN, 0}};
            const int left = static_cast<int>((until - now()) * 1000) + 1;
            if (XPending(a.dpy) == 0 && XPending(b.dpy) == 0)
                (void)poll(fds, 2, left);
            pump(reached);
        }
    };

    for (int i = 1; i <= copies; ++i) {
        // Lets the previous post's answer in: a copy during a post is refused.
        bool ignored = false;
        wait(now() + 0.2, ignored);
        text = "bench copy " + std::to_string(i) + " " + std::to_string(random());
        const double started = now();
        XSetSelectionOwner(a.dpy, a.clipboard, a.window, CurrentTime);
        XFlush(a.dpy);
        bool reached = false;
        wait(started + 10, reached);
        if (!reached) {
            std::fprintf(stderr, "copy %d never reached B\n", i);
            return 1;
        }
        std::printf("%.6f %.6f\n", started, now());
        std::fflush(stdout);
    }
    return 0;
}
