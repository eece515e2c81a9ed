// Desktop harness: real display servers (Xvfb, openbox, Weston nested in Xvfb) and a real program
// under them, driven as a user would: keys, pointer, window manager requests, pixels on screen.
#pragma once

#include "png_file.h"
#include "process.h"

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

struct _XDisplay;

namespace desktop_harness {

// Xlib's own types, named here so that this header needs no Xlib header, whose macros (None,
// Bool, Status) collide with other libraries' names. Keysyms are the XK_ values of
// <X11/keysym.h>.
using XDisplay = _XDisplay;
using XWindow = unsigned long;
using XKeySym = unsigned long;
using XKeyCode = unsigned char;

// The support library's images, PNG files, temporary directories and processes, which the
// harness's interface is made of.
using Image = support::Image<std::uint8_t>;
using support::adopt_orphans;
using support::Clock;
using support::describe_difference;
using support::Duration;
using support::Environment;
using support::ExitStatus;
using support::LaunchOptions;
using support::leftover_children;
using support::poll_until;
using support::Process;
using support::read_png;
using support::TempDir;
using support::write_png;

// ---- X11 ----

struct Rect
{
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;

    friend bool operator==(const Rect&, const Rect&) = default;
};

// An Xvfb server with one screen of the given size at depth 24, on a display number it picks
// itself (-displayfd), and one client connection of the test's own. The constructor returns once
// the server answers.
class XServer
{
public:
    XServer(int width, int height);
    XServer(const XServer&) = delete;
    XServer& operator=(const XServer&) = delete;
    ~XServer();

    const std::string& display_name() const { return display_name_; }
    XDisplay* connection() const { return display_; }
    XWindow root() const;
    Rect screen_rect() const;

    // The viewable InputOutput window whose _NET_WM_PID is `pid` (a toolkit's top-level
    // window, whether reparented by a window manager or not).
    std::optional<XWindow> find_window_of(pid_t pid, Duration timeout);
    // The same for a child process; gives up at once when the process ends.
    std::optional<XWindow> find_window_of(Process& process, Duration timeout);
    // Every such window of the process at this moment, dialogs and other top-levels included.
    std::vector<XWindow> windows_of(pid_t pid);
    // The window's area on the screen, in root coordinates.
    Rect window_rect(XWindow window);
    bool viewable(XWindow window);
    // Whether the window's _NET_WM_STATE holds the named state, e.g. "_NET_WM_STATE_FULLSCREEN".
    bool has_state(XWindow window, const char* state_name);

    // The part of the area that lies on the screen.
    Image capture(const Rect& area);
    // Polls the area until it shows `expected`; returns the last capture either way.
    Image wait_for_picture(const Rect& area, const Image& expected, Duration timeout);
    // Polls the window, wherever it is and whatever size it has at each look, until it shows
    // `expected`; returns the last capture either way.
    Image wait_for_picture(XWindow window, const Image& expected, Duration timeout);

    // Input, through XTest, so that it reaches the program as real input does.
    void move_pointer(int x, int y);
    void move_pointer_into(XWindow window);
    // Presses and releases `key` with the modifier keys held down around it.
    void press_key(XKeySym key, const std::vector<XKeySym>& modifiers = {});
    void press_keycode(XKeyCode code);
    // Keycodes that carry a keysym and are not modifiers, in keymap order.
    std::vector<XKeyCode> plain_keycodes();
    XKeySym keysym_of(XKeyCode code);

    // The pointer's current image (XFixes) is fully transparent.
    bool pointer_blank();

    // Sends _NET_WM_PING and waits for the toolkit's answer: the program's main loop has read
    // everything this connection sent before.
    bool answers_ping(XWindow window, Duration timeout);
    // Asks the window manager to close the window (_NET_CLOSE_WINDOW).
    void request_close(XWindow window);

    void resize(XWindow window, int width, int height);
    void unmap(XWindow window);
    void map(XWindow window);
    // An override-redirect window of one colour (0xRRGGBB) laid over the area; destroy() removes it.
    XWindow create_cover(const Rect& area, std::uint32_t colour);
    void destroy(XWindow window);

private:
    std::optional<XWindow> find_window(pid_t pid, Duration timeout, const std::function<bool()>& give_up);

    std::optional<Process> process_;
    std::string display_name_;
    XDisplay* display_ = nullptr;
};

// Openbox on the server, with its stock configuration; the constructor returns once it manages
// the screen (_NET_SUPPORTING_WM_CHECK is set).
class Openbox
{
public:
    explicit Openbox(XServer& server);

private:
    TempDir home_{"openbox"};
    std::optional<Process> process_;
};

// What a program needs to run as a client of the server, and nothing more: DISPLAY, HOME, an
// XDG_RUNTIME_DIR, PATH and GDK_BACKEND=x11.
Environment x11_environment(const XServer& server, const std::filesystem::path& home,
                            const std::filesystem::path& runtime_dir);

// ---- Wayland ----

// Weston with its X11 backend, nested in the server: its one output window fills the server's
// screen, so a capture of the screen is Weston's output and the server's keyboard and pointer
// (XTest input included) are Weston's seat. The output has `scale` device pixels to a logical
// one. The constructor returns once Weston's socket, in a runtime directory of its own, exists.
class Weston
{
public:
    explicit Weston(XServer& server, int scale = 1);

    const std::string& socket_name() const { return socket_name_; }
    const std::filesystem::path& runtime_dir() const { return runtime_.path(); }

    // Brings Weston's pointer to where the server's is, the bottom-right corner. The backend
    // moves it by the server pointer's motion, clamped to the output, from wherever it started,
    // and loses motion that comes before the output runs; so once the desktop shell has drawn,
    // the pointer is pushed into one corner and then into the opposite one.
    void align_pointer();

private:
    XServer& server_;
    TempDir runtime_{"weston"};
    TempDir home_{"weston-home"};
    std::string socket_name_;
    std::optional<Process> process_;
};

// DISPLAY-free environment of a Wayland client of the compositor: WAYLAND_DISPLAY,
// XDG_RUNTIME_DIR (the compositor's), HOME, PATH and GDK_BACKEND=wayland.
Environment wayland_environment(const Weston& weston, const std::filesystem::path& home);

} // namespace desktop_harness
