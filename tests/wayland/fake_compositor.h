#pragma once

// A compositor on libwayland-server, on a thread of its own, that
// advertises the globals a test names and implements ext data-control for
// one seat. Its own "other program" copies with the data it is given.
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace zephlink::test {

class FakeCompositor {
public:
    // How the other program serves a read of its copy.
    enum class Serve { Data, Stall };
    struct Stats {
        int devicesMade = 0;
        int offersDestroyed = 0;
        std::vector<std::string> receives; // types read from the other program
    };

    // globals: any of "ext", "wlr", "wl_seat", "gtk_shell1"; socket: a name
    // in XDG_RUNTIME_DIR.
    FakeCompositor(const std::vector<std::string>& globals, const std::string& socket);
    ~FakeCompositor();

    // The other program copies: each type with its data.
    void copy(std::map<std::string, std::string> data, Serve serve = Serve::Data);
    void copyPrimary(const std::vector<std::string>& types);
    // Ends every data-control device, as a compositor losing the seat does.
    void finish();
    // Pastes from the client's own selection: the read end of the pipe, or
    // -1 when the selection is not the client's.
    int paste(const std::string& type);
    Stats stats();

private:
    struct Impl;
    void call(std::function<void()> fn);
    std::unique_ptr<Impl> impl_;
};

} // namespace zephlink::test
